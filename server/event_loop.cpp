#include "server/event_loop.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

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
    // Until the socket would block, or the bound: see max_datagrams_per_pass.
    int served = 0;
    while (served < max_datagrams_per_pass && exchange_datagram(s)) ++served;
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

// The socket is bound to every address, and a reply sent from it plainly
// leaves from whatever address routing picks for the sender. A client that
// asked another of the host's addresses drops such a reply, since its
// connected socket takes replies only from the address it asked. The
// IP_PKTINFO message says which local address a request came in on: for a
// request sent to one of the host's addresses, that address itself; for a
// broadcast, the address of the interface it arrived on, which a reply can
// come from (a broadcast address cannot be a source). No message (the
// option could not be set): the reply leaves as routing picks.
std::optional<in_addr> address_asked(msghdr& asked) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&asked); c != nullptr; c = CMSG_NXTHDR(&asked, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
        in_pktinfo info{};
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        return info.ipi_spec_dst;
    }
    return std::nullopt;
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

bool exchange_datagram(server_state& s) {
    sockaddr_in source{};
    iovec request{s.request_buffer, max_datagram_request};
    alignas(cmsghdr) char asked_control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr asked{};
    asked.msg_name = &source;
    asked.msg_namelen = sizeof source;
    asked.msg_iov = &request;
    asked.msg_iovlen = 1;
    asked.msg_control = asked_control;
    asked.msg_controllen = sizeof asked_control;
    const ssize_t received = ::recvmsg(s.datagram_socket, &asked, 0);
    if (received < 0) {
        // The socket does not block: a datagram that select saw may be gone
        // (a bad checksum), and a signal may cut the call short.
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return false;
        report_system_error("recvfrom");
        std::exit(1);
    }
    s.request_buffer[received] = '\0';
    if (s.verbose) write_out("UDP recd. %s\n", s.request_buffer);

    char* reply = s.reply_buffer();
    reply[0] = '\0';
    handle_request(*s.atoms, s.request_buffer, reply);
    if (reply[0] == '\0') return true;

    iovec answer_text{reply, std::strlen(reply)};
    msghdr answer{};
    answer.msg_name = &source;
    answer.msg_namelen = asked.msg_namelen;
    answer.msg_iov = &answer_text;
    answer.msg_iovlen = 1;
    alignas(cmsghdr) char answer_control[CMSG_SPACE(sizeof(in_pktinfo))];
    if (const std::optional<in_addr> local = address_asked(asked)) {
        answer.msg_control = answer_control;
        answer.msg_controllen = sizeof answer_control;
        cmsghdr* c = CMSG_FIRSTHDR(&answer);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo from{};
        from.ipi_ifindex = 0;  // whichever interface routing picks
        from.ipi_spec_dst = *local;
        std::memcpy(CMSG_DATA(c), &from, sizeof from);
    }
    // Any sender can make this fail (a forged source port 0 gives EINVAL), so
    // a reply that cannot go out is reported and the server goes on.
    if (::sendmsg(s.datagram_socket, &answer, 0) < 0) report_system_error("sendto");
    return true;
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

long select_wait_s(const server_state& s) {
    if (s.listener_paused_until == 0) return select_timeout_s;
    const std::int64_t left = s.listener_paused_until - s.clock();
    return left <= 0 ? 0 : static_cast<long>(std::min<std::int64_t>(left, select_timeout_s));
}

void run_one_pass(server_state& s) {
    resume_listener_when_due(s);
    fd_set ready = s.watched_set;
    timeval timeout{select_wait_s(s), 0};
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
