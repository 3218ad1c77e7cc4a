// The client stage of a pass: reads one length-framed request from a client
// and writes the framed reply back. Framing only; the meaning is the atom
// service's.
#pragma once

#include "server/server_state.h"

void handle_tcp_data(server_state& s, int d);
