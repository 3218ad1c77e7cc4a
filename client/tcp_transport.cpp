// Requests as frames over one connection to TCP port 4445, opened on first
// use and kept. Replies come back in request order.
#include "client/request_text.h"
#include "client/tcp_connection.h"
#include "client/transport.h"

namespace atom::detail {

namespace {

class tcp_transport final : public transport {
public:
    explicit tcp_transport(const client_options& options)
        : connection_(options.host, options.tcp_port) {}

    std::size_t request_limit() const override { return max_frame_body; }
    bool ordered() const override { return true; }

    transport_result send(std::initializer_list<std::string_view> requests,
                          deadline until) override {
        transport_result result = connection_.open(until);
        if (result != transport_result::ok) return note(result);
        std::string frames;
        for (const std::string_view request : requests) frames += frame_of(request);
        result = connection_.write_all(frames, until);
        if (result == transport_result::ok) requests_sent_ += requests.size();
        return note(result);
    }

    transport_result receive(std::string& reply, deadline until) override {
        if (!connection_.is_open()) return transport_result::lost;
        return note(connection_.read_frame(reply, until));
    }

    void reset() override { connection_.close(); }
    std::size_t connections_ended() const override { return connection_.closes(); }
    void check_connection() override { connection_.close_if_ended(); }

private:
    tcp_connection connection_;

    transport_result note(transport_result result) {
        if (result != transport_result::ok) error_ = connection_.error();
        return result;
    }
};

}  // namespace

std::unique_ptr<transport> make_tcp_transport(const client_options& options) {
    return std::make_unique<tcp_transport>(options);
}

}  // namespace atom::detail
