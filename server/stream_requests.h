// The client stage of a pass: reads one length-framed request from a client
// and writes the framed reply back. Framing only; the meaning is the atom
// service's.
#pragma once

#include "server/server_state.h"

// Serves at most one frame of client d. A frame whose bytes have not all
// arrived is kept in d's slot and finished on a later call; the client is
// closed when it ends the connection, a read fails, or a reply cannot be
// written at once and whole.
void handle_tcp_data(server_state& s, int d);
