// Takes stream clients in and lets them go: accept_client is the listener
// stage of a pass, sweep_idle_clients the sweep stage.
#pragma once

#include "server/server_state.h"

inline constexpr std::int64_t sweep_interval_s = 3600;

// Accepts one connection. When that fails for want of descriptors, the least
// recently active client makes room; when even that does not help, the
// connection is taken on the spare descriptor and shut.
void accept_client(server_state& s);

// At most once an hour, closes every client silent for more than an hour.
void sweep_idle_clients(server_state& s);

// The descriptor held back for accept_client; -1 (reported) when none is left.
int open_spare_descriptor();
