// Requests as datagrams to UDP port 4444, one request each. The socket is
// connected, so only the server's datagrams are read and a refused datagram
// (ICMP port unreachable) is reported by the next call on the socket.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "client/request_text.h"
#include "client/transport.h"

namespace atom::detail {

namespace {

// Replies are at most 100 bytes; anything longer is not the server's.
constexpr std::size_t datagram_buffer_size = 512;

class udp_transport final : public transport {
public:
    explicit udp_transport(const client_options& options)
        : host_(options.host), port_(options.udp_port) {}
    ~udp_transport() override { reset(); }

    std::size_t request_limit() const override { return max_datagram_request; }
    bool ordered() const override { return false; }

    transport_result send(std::initializer_list<std::string_view> requests, deadline) override {
        if (const transport_result opened = open(); opened != transport_result::ok) {
            return opened;
        }
        for (const std::string_view request : requests) {
            ssize_t n;
            do {
                n = ::send(fd_, request.data(), request.size(), 0);
            } while (n < 0 && errno == EINTR);
            if (n < 0) return fail("send");
            ++requests_sent_;
        }
        return transport_result::ok;
    }

    transport_result receive(std::string& reply, deadline until) override {
        if (fd_ < 0) return transport_result::lost;
        for (;;) {
            const int ready = wait_for(fd_, POLLIN, until);
            if (ready < 0) return fail("poll");
            if (ready == 0) {
                error_ = "no reply from " + host_ + " port " + std::to_string(port_) +
                         " within the time-out";
                return transport_result::timed_out;
            }
            char buffer[datagram_buffer_size];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return fail("recv");
            reply.assign(buffer, static_cast<std::size_t>(n));
            return transport_result::ok;
        }
    }

    void reset() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    std::string host_;
    std::uint16_t port_;
    int fd_ = -1;

    transport_result open() {
        if (fd_ >= 0) return transport_result::ok;
        sockaddr_in address{};
        if (!resolve_server(host_, port_, address, error_)) return transport_result::unreachable;
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return fail("socket");
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            return fail("connect");
        }
        return transport_result::ok;
    }

    transport_result fail(const char* what) {
        const int saved = errno;
        error_ = system_error_text(what);
        reset();
        if (saved == ECONNREFUSED) {
            error_ =
                "no server at " + host_ + " port " + std::to_string(port_) + " (" + error_ + ")";
            return transport_result::unreachable;
        }
        return peer_refused_or_reset(saved) ? transport_result::unreachable
                                            : transport_result::lost;
    }
};

}  // namespace

std::unique_ptr<transport> make_udp_transport(const client_options& options) {
    return std::make_unique<udp_transport>(options);
}

}  // namespace atom::detail
