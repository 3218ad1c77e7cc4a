#include "client/socket_helpers.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace atom::detail {

bool resolve_server(const std::string& host, std::uint16_t port, sockaddr_in& address,
                    std::string& error) {
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1) return true;
    // The server listens on IPv4 only, so only IPv4 addresses of a name help.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int result = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (result != 0 || found == nullptr) {
        error = "cannot resolve host \"" + host + "\": " + ::gai_strerror(result);
        return false;
    }
    address.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return true;
}

int wait_for(int fd, short events, deadline until) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - client_clock::now());
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) return 0;
        if (p.revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
        // An error or hang-up is reported as readiness: the next call on the
        // descriptor says what happened.
        return p.revents & (events | POLLERR | POLLHUP) ? (p.revents | events) & events : 0;
    }
}

int wait_for_socket_or_input(int fd, short events, int input_fd, bool& input_ready,
                             const deadline* until) {
    input_ready = false;
    for (;;) {
        int timeout_ms = -1;
        if (until != nullptr) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*until - client_clock::now());
            timeout_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        pollfd p[2] = {{fd, events, 0}, {input_fd, POLLIN, 0}};
        const int n = ::poll(p, input_fd >= 0 ? 2 : 1, timeout_ms);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) return 0;
        if (p[0].revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
        // A hang-up or error of the input is readiness too: the read says what.
        input_ready = input_fd >= 0 && p[1].revents != 0;
        return p[0].revents & (events | POLLERR | POLLHUP) ? (p[0].revents | events) & events : 0;
    }
}

std::string system_error_text(const char* what) {
    const int saved = errno;
    return std::string(what) + ": " + std::strerror(saved);
}

bool peer_refused_or_reset(int error_number) {
    return error_number == ECONNREFUSED || error_number == ECONNRESET || error_number == EPIPE ||
           error_number == ENOTCONN || error_number == EHOSTUNREACH || error_number == ENETUNREACH;
}

}  // namespace atom::detail
