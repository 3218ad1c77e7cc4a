#include "client/tcp_connection.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace atom::detail {

namespace {

// Room for a pipelined load's window of requests and of replies, so that the
// server's reply writes never find the connection full, and frames are rarely
// split across writes (the server closes a connection whose frame is only
// partly there when it reads the body).
constexpr int socket_buffer_bytes = 1 << 20;

}  // namespace

std::string frame_of(std::string_view body) {
    std::string framed(1, static_cast<char>(static_cast<unsigned char>(body.size())));
    framed += body;
    return framed;
}

tcp_connection::tcp_connection(std::string host, std::uint16_t port)
    : host_(std::move(host)), port_(port) {}

tcp_connection::~tcp_connection() { close(); }

void tcp_connection::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        ++closes_;
    }
    fd_ = -1;
    received_.clear();
    received_start_ = 0;
}

void tcp_connection::close_if_ended() {
    if (fd_ < 0) return;
    pollfd p{fd_, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, 0);
    } while (ready < 0 && errno == EINTR);
    // Between calls nothing is owed to us: readable means closed or reset.
    if (ready != 0) close();
}

transport_result tcp_connection::fail(const char* what) {
    const int saved = errno;
    error_ = system_error_text(what);
    close();
    if (saved == ECONNREFUSED || saved == EHOSTUNREACH || saved == ENETUNREACH) {
        return transport_result::unreachable;
    }
    return transport_result::lost;
}

// A time-out closes the connection too: a reply that came later would be
// taken for the answer to the next request.
transport_result tcp_connection::wait_ready(short events, deadline until, const char* what) {
    const int ready = wait_for(fd_, events, until);
    if (ready < 0) return fail("poll");
    if (ready > 0) return transport_result::ok;
    error_ = std::string(what) + ": timed out";
    close();
    return transport_result::timed_out;
}

transport_result tcp_connection::open(deadline until) {
    if (fd_ >= 0) return transport_result::ok;
    sockaddr_in address{};
    if (!resolve_server(host_, port_, address, error_)) return transport_result::unreachable;
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return fail("socket");
    // Requests are small and each must leave at once; buffers are only hints.
    const int one = 1;
    if (::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        return fail("set TCP_NODELAY");
    }
    const int size = socket_buffer_bytes;
    if (::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0 ||
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
        return fail("set socket buffer size");
    }
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) return fail("connect");
        if (const transport_result ready = wait_ready(POLLOUT, until, "connect");
            ready != transport_result::ok) {
            return ready;
        }
        int pending = 0;
        socklen_t length = sizeof pending;
        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) {
            return fail("getsockopt SO_ERROR");
        }
        if (pending != 0) {
            errno = pending;
            return fail("connect");
        }
    }
    return transport_result::ok;
}

transport_result tcp_connection::write_some(std::string& pending) {
    while (!pending.empty()) {
        const ssize_t n = ::send(fd_, pending.data(), pending.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return transport_result::ok;
        if (n < 0) return fail("write");
        pending.erase(0, static_cast<std::size_t>(n));
    }
    return transport_result::ok;
}

transport_result tcp_connection::write_all(std::string_view bytes, deadline until) {
    std::string pending(bytes);
    while (!pending.empty()) {
        const transport_result result = write_some(pending);
        if (result != transport_result::ok) return result;
        if (pending.empty()) break;
        if (const transport_result ready = wait_ready(POLLOUT, until, "write");
            ready != transport_result::ok) {
            return ready;
        }
    }
    return transport_result::ok;
}

transport_result tcp_connection::read_available() {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return transport_result::ok;
        if (n < 0) return fail("read");
        if (n == 0) {
            error_ = "read: the server closed the connection";
            close();
            return transport_result::lost;
        }
        if (received_start_ > 0 && received_start_ == received_.size()) {
            received_.clear();
            received_start_ = 0;
        }
        received_.append(buffer, static_cast<std::size_t>(n));
        if (static_cast<std::size_t>(n) < sizeof buffer) return transport_result::ok;
    }
}

bool tcp_connection::take_frame(std::string& body) {
    const std::size_t available = received_.size() - received_start_;
    if (available == 0) return false;
    const std::size_t length = static_cast<unsigned char>(received_[received_start_]);
    if (available < 1 + length) return false;
    body.assign(received_, received_start_ + 1, length);
    received_start_ += 1 + length;
    // Keep the buffer from growing with what has been taken already.
    if (received_start_ > sizeof(std::size_t) * 8192) {
        received_.erase(0, received_start_);
        received_start_ = 0;
    }
    return true;
}

transport_result tcp_connection::read_frame(std::string& body, deadline until) {
    while (!take_frame(body)) {
        if (const transport_result ready = wait_ready(POLLIN, until, "read");
            ready != transport_result::ok) {
            return ready;
        }
        const transport_result result = read_available();
        if (result != transport_result::ok) return result;
    }
    return transport_result::ok;
}

}  // namespace atom::detail
