#include "server/event_loop.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <bit>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "atoms/protocol.h"
#include "atoms/request_handler.h"
#include "server/messages.h"
#include "server/store_reports.h"
#include "server/stream_clients.h"
#include "server/stream_requests.h"

namespace {

void listener_stage(server_state& s, fd_set& ready) {
    if (s.listener < 0 || !FD_ISSET(s.listener, &ready)) return;
    FD_CLR(s.listener, &ready);
    accept_client(s);
}

void datagram_stage(server_state& s, fd_set& ready) {
    if (s.datagram_socket < 0 || !FD_ISSET(s.datagram_socket, &ready)) return;
    FD_CLR(s.datagram_socket, &ready);
    exchange_datagram(s);
}

// A client freed earlier in this pass is skipped: its slot is no longer in use.
// The ready set is walked a 64-bit word at a time, so a pass with few ready
// clients does not pay for testing all 1024 descriptors one by one: that cost
// more than the rest of a datagram's exchange.
void client_stage(server_state& s, const fd_set& ready) {
    static_assert(sizeof(fd_set) * CHAR_BIT == FD_SETSIZE);
    std::uint64_t words[FD_SETSIZE / 64];
    std::memcpy(words, &ready, sizeof words);
    for (int w = 0; w < FD_SETSIZE / 64; ++w) {
        for (std::uint64_t bits = words[w]; bits != 0; bits &= bits - 1) {
            const int d = w * 64 + std::countr_zero(bits);
            if (FD_ISSET(d, &ready) && slot_in_use(s, d)) handle_tcp_data(s, d);
        }
    }
}

bool probe_is_bad(int d) {
    fd_set probe;
    FD_ZERO(&probe);
    FD_SET(d, &probe);
    timeval no_wait{0, 0};
    errno = 0;
    return ::select(FD_SETSIZE, &probe, nullptr, nullptr, &no_wait) == -1 && errno == EBADF;
}

}  // namespace

void exchange_datagram(server_state& s) {
    sockaddr_in source{};
    socklen_t source_length = sizeof source;
    const ssize_t received = ::recvfrom(s.datagram_socket, s.request_buffer, max_datagram_request,
                                        0, reinterpret_cast<sockaddr*>(&source), &source_length);
    if (received < 0) {
        // The socket does not block: a datagram that select saw may be gone
        // (a bad checksum), and a signal may cut the call short.
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return;
        report_system_error("recvfrom");
        std::exit(1);
    }
    s.request_buffer[received] = '\0';
    if (s.verbose) write_out("UDP recd. %s\n", s.request_buffer);

    char* reply = s.reply_buffer();
    reply[0] = '\0';
    handle_request(*s.atoms, s.request_buffer, reply);
    if (reply[0] == '\0') return;
    // Any sender can make this fail (a forged source port 0 gives EINVAL), so
    // a reply that cannot go out is reported and the server goes on.
    if (::sendto(s.datagram_socket, reply, std::strlen(reply), 0,
                 reinterpret_cast<const sockaddr*>(&source), source_length) < 0) {
        report_system_error("sendto");
    }
}

void recover_bad_descriptor(server_state& s, const fd_set& ready) {
    int probed = 0;
    for (int d = 0; d < max_clients; ++d) {
        if (!FD_ISSET(d, &ready) || d == s.listener) continue;
        if (probe_is_bad(d)) {
            write_err("Select failed, fd %d\n is bad.  Removing from select list.\n", d);
            write_out("REmoving bad fd %d", d);
            // Already closed elsewhere: only forget it.
            forget_client(s, d);
        } else {
            close_client(s, d);
        }
        ++probed;
    }
    if (probed == 0) {
        write_err("Bad file descriptor in select.  Failed to localize.  Exiting.\n");
        std::exit(1);
    }
}

void run_one_pass(server_state& s) {
    fd_set ready = s.watched_set;
    timeval timeout{select_timeout_s, 0};
    const int n = ::select(FD_SETSIZE, &ready, nullptr, nullptr, &timeout);
    if (n == 0) return sweep_idle_clients(s);
    if (n < 0) {
        if (errno == EINTR) return;
        if (errno == EBADF) {
            // The ready set is left as it was by a failed select; the watched
            // set is the same, and is what the recovery must look at.
            const fd_set snapshot = s.watched_set;
            recover_bad_descriptor(s, snapshot);
        }
        // After a recovery this is the errno its last probe left (0 when that
        // descriptor was healthy), not select's EBADF: the report has always
        // read so, and operators' log filters may match on it.
        write_err("select failed, errno %d\n", errno);
        return;
    }
    listener_stage(s, ready);
    datagram_stage(s, ready);
    client_stage(s, ready);
    report_unstored_associations(s);
    sweep_idle_clients(s);
}

void run_event_loop(server_state& s) {
    for (;;) run_one_pass(s);
}
