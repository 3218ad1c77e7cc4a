#include "server/server_state.h"

#include <sys/socket.h>
#include <unistd.h>

#include <ctime>

#include "server/messages.h"

std::int64_t system_clock_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

void init_server_state(server_state& s, atom_table& atoms) {
    s.atoms = &atoms;
    FD_ZERO(&s.watched_set);
    s.client_table = std::make_unique<client_slot[]>(max_clients);
    s.last_sweep = 0;
}

bool slot_in_use(const server_state& s, int d) {
    return d >= 0 && d < max_clients && s.slot(d).connected_at != slot_free;
}

void record_client(server_state& s, int d, std::int64_t now) {
    client_slot& slot = s.slot(d);
    slot.connected_at = now;
    slot.last_activity = now;
    FD_SET(d, &s.watched_set);
}

// A freed slot holds no partial frame, so a new client starts afresh.
void forget_client(server_state& s, int d) {
    if (d < 0 || d >= max_clients) return;
    client_slot& slot = s.slot(d);
    slot.connected_at = slot_free;
    slot.have_length = false;
    slot.body_received = 0;
    FD_CLR(d, &s.watched_set);
}

void close_client(server_state& s, int d) {
    if (d == s.listener || d == s.datagram_socket) return;
    if (s.verbose) write_out("Closing client %d\n", d);
    forget_client(s, d);
    // Clients linger 60 s on close, which would hold the whole loop while a
    // client that stopped reading lets its unsent replies expire. Turned off,
    // close returns at once and the system still delivers what it can.
    const linger no_lingering{0, 0};
    if (::setsockopt(d, SOL_SOCKET, SO_LINGER, &no_lingering, sizeof no_lingering) == -1) {
        report_system_error("clear SO_LINGER");
    }
    if (::close(d) == -1) report_system_error("close");
}
