#include "tests/support/fake_peers.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "tests/support/server_process.h"

namespace {

// Every loop below polls for at most this long at a time, so that a peer
// notices its destruction soon.
constexpr int poll_slice_ms = 20;

int bound_datagram_socket(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in self = loopback_address(port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) {
        throw std::runtime_error("proxy socket failed");
    }
    return fd;
}

}  // namespace

fake_datagram_server::fake_datagram_server(std::uint16_t port, std::string reply)
    : reply_(std::move(reply)) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in self = loopback_address(port);
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&self), sizeof self) == 0;
    thread_ = std::thread([this] { serve(); });
}

fake_datagram_server::~fake_datagram_server() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
}

void fake_datagram_server::serve() {
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, poll_slice_ms) != 1) continue;
        char buffer[256];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        if (::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length) <
            0) {
            continue;
        }
        if (!reply_.empty() && ::sendto(fd_, reply_.data(), reply_.size(), 0,
                                        reinterpret_cast<const sockaddr*>(&from), length) < 0) {
            ++failures_;
        }
    }
}

lossy_proxy::lossy_proxy(drop_rule drop) : drop_(std::move(drop)) {
    client_side_ = bound_datagram_socket(port);
    server_side_ = bound_datagram_socket(0);
    thread_ = std::thread([this] { forward(); });
}

lossy_proxy::~lossy_proxy() {
    stop_ = true;
    thread_.join();
    ::close(client_side_);
    ::close(server_side_);
}

void lossy_proxy::forward() {
    while (!stop_) {
        pollfd p[2] = {{client_side_, POLLIN, 0}, {server_side_, POLLIN, 0}};
        if (::poll(p, 2, poll_slice_ms) <= 0) continue;
        char buffer[256];
        if (p[0].revents & POLLIN) {
            socklen_t length = sizeof client_;
            const ssize_t n = ::recvfrom(client_side_, buffer, sizeof buffer, 0,
                                         reinterpret_cast<sockaddr*>(&client_), &length);
            const sockaddr_in server = loopback_address(datagram_port);
            if (n >= 0) {
                pass(true, std::string(buffer, static_cast<std::size_t>(n)), server_side_, server);
            }
        }
        if (p[1].revents & POLLIN) {
            const ssize_t n = ::recv(server_side_, buffer, sizeof buffer, 0);
            if (n >= 0) {
                pass(false, std::string(buffer, static_cast<std::size_t>(n)), client_side_,
                     client_);
            }
        }
    }
}

void lossy_proxy::pass(bool to_server, const std::string& text, int fd, const sockaddr_in& to) {
    if (drop_(to_server, text)) {
        ++dropped_;
        return;
    }
    // A datagram that cannot be passed on would be one more loss, which the
    // test counts apart.
    if (::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to) < 0) {
        ++failures_;
    }
}

lossy_proxy::drop_rule drop_first(bool to_server, std::string letters, int count) {
    auto dropped = std::make_shared<int>(0);
    return [=](bool direction, const std::string& text) {
        if (*dropped >= count || direction != to_server || text.empty() ||
            letters.find(text[0]) == std::string::npos) {
            return false;
        }
        ++*dropped;
        return true;
    };
}

cutting_proxy::cutting_proxy(std::size_t cut_after) : cut_after_(cut_after) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in self = loopback_address(port);
    const int one = 1;
    if (listener_ < 0 || ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(listener_, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
        ::listen(listener_, 4) != 0) {
        throw std::runtime_error("proxy listener failed");
    }
    thread_ = std::thread([this] { serve(); });
}

cutting_proxy::~cutting_proxy() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
}

void cutting_proxy::serve() {
    while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, poll_slice_ms) != 1) continue;
        const int client = ::accept(listener_, nullptr, nullptr);
        if (client < 0) continue;
        const int server = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in to = loopback_address(stream_port);
        if (server >= 0 &&
            ::connect(server, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
            forward(client, server, ++connections_ == 1);
        }
        ::close(client);
        if (server >= 0) ::close(server);
    }
}

// Passes bytes both ways until either side ends, or the cut.
void cutting_proxy::forward(int client, int server, bool cut) {
    std::size_t passed = 0;
    while (!stop_) {
        pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (::poll(p, 2, poll_slice_ms) <= 0) continue;
        char buffer[4096];
        for (int side = 0; side < 2; ++side) {
            if (p[side].revents == 0) continue;
            std::size_t room = sizeof buffer;
            if (side == 0 && cut) room = std::min(room, cut_after_ - passed);
            const ssize_t n = ::recv(p[side].fd, buffer, room, 0);
            if (n <= 0) return;
            if (::send(p[1 - side].fd, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) {
                return;
            }
            if (side == 0) passed += static_cast<std::size_t>(n);
            if (cut && passed >= cut_after_) return;
        }
    }
}
