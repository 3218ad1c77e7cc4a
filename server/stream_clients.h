// Takes stream clients in and lets them go: accept_client is the listener
// stage of a pass, sweep_idle_clients the sweep stage.
#pragma once

#include "server/server_state.h"

inline constexpr std::int64_t sweep_interval_s = 3600;

inline constexpr std::int64_t listener_pause_s = 1;

// Accepts one connection. When that fails for want of descriptors, the least
// recently active client makes room; when even that does not help, the
// connection is taken on the spare descriptor and shut. With no spare either,
// the listener is not watched for listener_pause_s, and standard error says
// once why connections are refused, until an accept works again.
void accept_client(server_state& s);

// Run before each select: once the pause is over, tries to get the spare
// descriptor back and watches the listener again.
void resume_listener_when_due(server_state& s);

// At most once an hour, closes every client silent for more than an hour.
void sweep_idle_clients(server_state& s);

// The descriptor held back for accept_client; -1 (reported) when none is left.
int open_spare_descriptor();
