// Takes stream clients in and lets them go: accept_client is the listener
// stage of a pass, sweep_idle_clients the sweep stage.
#pragma once

#include "server/server_state.h"

inline constexpr std::int64_t sweep_interval_s = 3600;

void accept_client(server_state& s);
void sweep_idle_clients(server_state& s);
