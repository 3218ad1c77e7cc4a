// The one loop of the process: each pass waits in select on watched_set, then
// serves what is ready in a fixed order of stages (listener, datagrams up to
// a bound, stream clients, idle sweep). A failed select runs the recovery
// instead.
#pragma once

#include <sys/select.h>

#include "server/server_state.h"

inline constexpr long select_timeout_s = 3605;  // a little over the sweep interval

// A pass serves one frame of every ready stream client, so under 800 busy
// stream clients it serves 800 frames. Taking one datagram per pass shared
// that single turn among all datagram clients: each got a small fraction of
// a stream client's service (a thirtieth with 32 of them). The datagram
// stage instead takes what is waiting, up to this bound, so that every
// datagram client whose request waits is served in the pass, as every ready
// stream client is, while up to 256 requests wait: more than the socket's
// default receive buffer holds of small datagrams, so a pass can empty it.
// Bounded, so that a flood of datagrams keeps the loop from the stream
// clients for no longer than about as many frames.
inline constexpr int max_datagrams_per_pass = 256;

// Runs one pass; a test can set up descriptors, run exactly one and look.
void run_one_pass(server_state& s);

// How long the next select may wait: select_timeout_s, or only until the end
// of a pause of the listener.
long select_wait_s(const server_state& s);

[[noreturn]] void run_event_loop(server_state& s);

// After select failed with EBADF: drops every watched descriptor that is bad,
// closes every healthy client, and exits with status 1 when there was nothing
// to probe at all.
void recover_bad_descriptor(server_state& s, const fd_set& ready);

// Receives one datagram, answers it to its sender from the address it was
// sent to. False when there was none to receive.
bool exchange_datagram(server_state& s);
