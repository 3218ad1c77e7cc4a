// bare_responder: the fastest a daemon of atom_server's shape can answer, for
// the benchmark to hold the server against. Same shape: one select over all
// FD_SETSIZE descriptors per pass, then one accept, one datagram (recvfrom and
// sendto), and for each readable client one frame (a 1-byte read, a body
// read, one write). It answers "P" with "R" and nothing else; there is no
// table behind it, so what the server spends beyond this is its own.
//
//   bare_responder [udp_port [tcp_port]]     (defaults 4444 and 4445)
//
// Run it only inside a private network namespace, like the server in tests.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "atoms/protocol.h"

namespace {

[[noreturn]] void fail_system(const char* what) {
    std::fprintf(stderr, "bare_responder: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

int open_bound(int type, unsigned short port) {
    const int fd = ::socket(AF_INET, type, 0);
    if (fd < 0) fail_system("socket");
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        fail_system("setsockopt SO_REUSEADDR");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) fail_system("bind");
    return fd;
}

unsigned short port_argument(const char* text) {
    char* end = nullptr;
    const long port = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || port < 1 || port > 65535) {
        std::fprintf(stderr, "bare_responder: bad port \"%s\"\n", text);
        std::exit(1);
    }
    return static_cast<unsigned short>(port);
}

const char reply_frame[] = {1, 'R'};

void serve_datagram(int udp) {
    char request[max_datagram_request + 1];
    sockaddr_in from{};
    socklen_t from_length = sizeof from;
    const ssize_t got = ::recvfrom(udp, request, sizeof request - 1, 0,
                                   reinterpret_cast<sockaddr*>(&from), &from_length);
    if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) return;
        fail_system("recvfrom");
    }
    if (got < 1 || request[0] != 'P') return;
    if (::sendto(udp, "R", 1, 0, reinterpret_cast<const sockaddr*>(&from), from_length) < 0) {
        std::perror("sendto");
    }
}

void drop_client(fd_set& watched, int d) {
    FD_CLR(d, &watched);
    if (::close(d) != 0) std::perror("close");
}

void serve_client(fd_set& watched, int d) {
    unsigned char length = 0;
    if (::read(d, &length, 1) != 1) return drop_client(watched, d);
    char body[max_frame_body];
    if (length > 0 && ::read(d, body, length) != length) return drop_client(watched, d);
    if (length < 1 || body[0] != 'P') return;
    if (::write(d, reply_frame, sizeof reply_frame) != static_cast<ssize_t>(sizeof reply_frame)) {
        drop_client(watched, d);
    }
}

void accept_one(fd_set& watched, int listener) {
    const int d = ::accept(listener, nullptr, nullptr);
    if (d < 0) {
        std::perror("accept");
        return;
    }
    if (d >= FD_SETSIZE) {
        // It would not fit the select set; the client sees it closed.
        if (::close(d) != 0) std::perror("close");
        return;
    }
    const int on = 1;
    if (::setsockopt(d, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
        std::perror("setsockopt TCP_NODELAY");
    FD_SET(d, &watched);
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned short udp_port = argc > 1 ? port_argument(argv[1]) : datagram_port;
    const unsigned short tcp_port = argc > 2 ? port_argument(argv[2]) : stream_port;
    if (::signal(SIGPIPE, SIG_IGN) == SIG_ERR) fail_system("signal");
    const int udp = open_bound(SOCK_DGRAM, udp_port);
    const int listener = open_bound(SOCK_STREAM, tcp_port);
    if (::listen(listener, 1024) != 0) fail_system("listen");

    fd_set watched;
    FD_ZERO(&watched);
    FD_SET(udp, &watched);
    FD_SET(listener, &watched);
    for (;;) {
        fd_set ready = watched;
        const int n = ::select(FD_SETSIZE, &ready, nullptr, nullptr, nullptr);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail_system("select");
        }
        if (FD_ISSET(listener, &ready)) accept_one(watched, listener);
        if (FD_ISSET(udp, &ready)) serve_datagram(udp);
        for (int d = 0; d < FD_SETSIZE; ++d) {
            if (d != listener && d != udp && FD_ISSET(d, &ready)) serve_client(watched, d);
        }
    }
}
