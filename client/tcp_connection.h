// One TCP connection to the server and its frames: a length byte, then that
// many bytes. Used by the TCP transport for one call at a time, and by the
// pipelined loader, which writes and reads as the socket allows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "client/socket_helpers.h"
#include "client/transport.h"

namespace atom::detail {

// The frame that carries body (at most 255 bytes).
std::string frame_of(std::string_view body);

class tcp_connection {
public:
    tcp_connection(std::string host, std::uint16_t port);
    ~tcp_connection();
    tcp_connection(const tcp_connection&) = delete;
    tcp_connection& operator=(const tcp_connection&) = delete;

    // Connects unless connected already.
    transport_result open(deadline until);
    bool is_open() const { return fd_ >= 0; }
    void close();
    int fd() const { return fd_; }

    // Writes all of bytes, waiting for room until the deadline.
    transport_result write_all(std::string_view bytes, deadline until);
    // The body of the next frame from the server.
    transport_result read_frame(std::string& body, deadline until);

    // Without waiting: writes what the socket takes from the front of
    // pending and erases it; reads what has arrived.
    transport_result write_some(std::string& pending);
    transport_result read_available();
    // Takes the next whole frame already read, if there is one.
    bool take_frame(std::string& body);

    const std::string& error() const { return error_; }
    // How many times an open connection was closed.
    std::size_t closes() const { return closes_; }
    // Closes the connection if the server has closed it or sent what was
    // not asked for; never waits.
    void close_if_ended();

private:
    std::size_t closes_ = 0;
    std::string host_;
    std::uint16_t port_;
    int fd_ = -1;
    std::string received_;  // bytes read and not yet taken as frames
    std::size_t received_start_ = 0;
    std::string error_;

    transport_result fail(const char* what);
    transport_result wait_ready(short events, deadline until, const char* what);
};

}  // namespace atom::detail
