// How request texts reach the server and replies come back: datagrams to UDP
// port 4444, or frames over one connection to TCP port 4445. A transport
// knows nothing of what the texts mean; atom_client does.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "client/atom_client.h"
#include "client/socket_helpers.h"

namespace atom::detail {

enum class transport_result {
    ok,
    unreachable,  // nobody at the address, or it cannot be resolved
    timed_out,    // nothing came before the deadline
    lost,         // the connection ended or was reset under us
};

class transport {
public:
    virtual ~transport() = default;

    // The longest request this transport carries whole.
    virtual std::size_t request_limit() const = 0;
    // True when replies come back in request order and none is lost unless
    // the connection is; false for datagrams.
    virtual bool ordered() const = 0;
    // Sends the requests in order: one datagram each, or all the frames in
    // one write.
    virtual transport_result send(std::initializer_list<std::string_view> requests,
                                  deadline until) = 0;
    // The next reply.
    virtual transport_result receive(std::string& reply, deadline until) = 0;
    // Forgets the socket, and any reply still on its way to it; the next send
    // makes a new one.
    virtual void reset() = 0;

    // Counts the connections that were open and are not any more (lost,
    // closed after a time-out): a new connection may reach a restarted server
    // that has forgotten what the old one said. Stays 0 for datagrams, which
    // cannot see a restart. check_connection() notices, without waiting, a
    // connection the server has closed since the last call.
    virtual std::size_t connections_ended() const { return 0; }
    virtual void check_connection() {}

    // What went wrong last, in the perror manner.
    const std::string& error() const { return error_; }
    std::size_t requests_sent() const { return requests_sent_; }

protected:
    std::string error_;
    std::size_t requests_sent_ = 0;
};

std::unique_ptr<transport> make_udp_transport(const client_options& options);
std::unique_ptr<transport> make_tcp_transport(const client_options& options);

}  // namespace atom::detail
