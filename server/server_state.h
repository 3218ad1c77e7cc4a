// The one process-wide record of the server: its two sockets, the set every
// select starts from, the table of stream clients, the time of the last idle
// sweep and the trace flag; and close_client, the one way a client ends.
// Made once at start-up, passed by reference, touched only by the loop.
#pragma once

#include <sys/select.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "atoms/atom_table.h"
#include "atoms/protocol.h"

inline constexpr int max_clients = FD_SETSIZE;  // one slot per possible descriptor
inline constexpr std::int64_t slot_free = -1;

// Seconds since the epoch. Everything reads time through server_state::clock,
// so tests can move time by hand instead of waiting.
using clock_function = std::int64_t (*)();
std::int64_t system_clock_seconds();

struct client_slot {
    std::int64_t connected_at = slot_free;
    std::int64_t last_activity = 0;
    // The frame being received. A client's bytes may arrive in any pieces, so
    // what has come of a frame stays here until the rest is readable.
    bool have_length = false;
    std::uint8_t body_length = 0;
    std::uint16_t body_received = 0;
    char body[max_frame_body + 1];  // and the zero byte that ends the request
};

struct server_state {
    bool verbose = false;
    int datagram_socket = -1;
    int listener = -1;
    // Held back so that a connection can still be accepted and shut when no
    // other descriptor is left; -1 when none could be kept.
    int spare_descriptor = -1;
    fd_set watched_set;
    std::unique_ptr<client_slot[]> client_table;
    std::int64_t last_sweep = 0;
    std::int64_t last_store_report = 0;  // 0: none yet
    // While a queued connection can be given no descriptor, the listener is
    // not watched until this time; 0 while it is watched.
    std::int64_t listener_paused_until = 0;
    bool refusing_connections = false;  // said why, since the last accept that worked
    clock_function clock = system_clock_seconds;
    atom_table* atoms = nullptr;

    // Working storage reused by every pass.
    char request_buffer[request_buffer_size];
    // One byte in front of the reply for a stream frame's length, so that
    // frame and text go out from one piece of memory.
    char reply_frame[1 + reply_buffer_size];
    char* reply_buffer() { return reply_frame + 1; }

    // Slot of client descriptor d, which must be below max_clients.
    client_slot& slot(int d) { return client_table[static_cast<std::size_t>(d)]; }
    const client_slot& slot(int d) const { return client_table[static_cast<std::size_t>(d)]; }
};

// An empty watched_set and a client_table with every slot free.
void init_server_state(server_state& s, atom_table& atoms);

bool slot_in_use(const server_state& s, int d);

// Records accepted connection d (below max_clients) as a client since now and
// watches it.
void record_client(server_state& s, int d, std::int64_t now);

// Frees slot d and stops watching d, without closing it.
void forget_client(server_state& s, int d);

// Ends client connection d: frees its slot, closes it and stops watching it.
// Does nothing for the listener or the datagram socket.
void close_client(server_state& s, int d);
