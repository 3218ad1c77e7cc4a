#include "client/atom_client.h"

#include "client/association.h"
#include "client/exchange.h"

namespace atom {

using namespace detail;

const char* status_name(atom_status status) {
    switch (status) {
        case atom_status::found:
            return "found";
        case atom_status::not_found:
            return "not found";
        case atom_status::accepted:
            return "accepted";
        case atom_status::refused:
            return "refused";
        case atom_status::alive:
            return "alive";
        case atom_status::unreachable:
            return "server unreachable";
        case atom_status::timed_out:
            return "timed out";
        case atom_status::bad_reply:
            return "unreadable reply";
        case atom_status::bad_request:
            return "request refused before sending";
    }
    return "unknown";
}

atom_client::atom_client(client_options options)
    : options_(std::move(options)),
      transport_(options_.transport == transport_kind::tcp ? make_tcp_transport(options_)
                                                           : make_udp_transport(options_)) {}

static_assert(default_udp_port == datagram_port && default_tcp_port == stream_port,
              "the public header names the server's ports");
static_assert(max_returned_string == max_reply_string);

atom_client::~atom_client() = default;
atom_client::atom_client(atom_client&&) noexcept = default;
atom_client& atom_client::operator=(atom_client&&) noexcept = default;

// A connection that ended may mean a restarted server, which may have
// forgotten the pairs the cache holds (it keeps them only with a journal)
// and may bind their values anew; so every pair learnt before is dropped.
void atom_client::forget_if_reconnected() {
    transport_->check_connection();
    forget_if_connection_ended();
}

// After a call: the call itself may have found its connection lost and
// reopened it, and has just used the connection, so no look is needed.
void atom_client::forget_if_connection_ended() {
    const std::size_t ended = transport_->connections_ended();
    if (ended == connections_seen_) return;
    connections_seen_ = ended;
    value_of_.clear();
    string_of_.clear();
}

std::size_t atom_client::requests_sent() const { return transport_->requests_sent(); }

void atom_client::remember(std::int32_t value, std::string_view text) {
    if (!options_.cache) return;
    forget_if_connection_ended();
    value_of_.emplace(std::string(text), value);
    string_of_.emplace(value, std::string(text));
}

atom_answer atom_client::ping() {
    return run_call(*transport_, options_, [&](deadline until) {
        std::string reply;
        const transport_result result = ask(*transport_, ping_request, 'R', until, reply);
        if (result != transport_result::ok) return in_transit(result);
        if (!is_alive_reply(reply)) return unreadable(reply, "R");
        return answered(atom_status::alive);
    });
}

atom_answer atom_client::string_to_atom(std::string_view text) {
    const std::string request = string_lookup_request(text);
    if (std::string why = why_unsendable(text, request, transport_->request_limit());
        !why.empty()) {
        return refused_before_sending(std::move(why));
    }
    if (options_.cache) forget_if_reconnected();
    if (const auto cached = value_of_.find(std::string(text)); cached != value_of_.end()) {
        return atom_answer{atom_status::found, cached->second, std::string(text), {}, false};
    }
    atom_answer answer = run_call(*transport_, options_, [&](deadline until) {
        std::string reply;
        transport_result result = ask(*transport_, request, 'N', until, reply);
        if (result != transport_result::ok) return in_transit(result);
        const std::optional<std::int32_t> value = read_value_reply(reply);
        if (!value) return unreadable(reply, "N and a value");
        if (*value != -1) return answered(atom_status::found, *value, std::string(text));
        // "N-1" is also the answer for a string bound to -1: ask who holds -1.
        result = ask(*transport_, value_lookup_request(-1), 'S', until, reply);
        if (result != transport_result::ok) return in_transit(result);
        const std::optional<std::string> holder = read_string_reply(reply);
        if (!holder) return unreadable(reply, "S and a string");
        if (!text.empty() && same_string(*holder, text)) {
            return answered(atom_status::found, -1, std::string(text));
        }
        return answered(atom_status::not_found);
    });
    // A long string read back as -1 was matched on its first 99 bytes only.
    if (answer.status == atom_status::found &&
        (answer.value != -1 || text.size() <= max_reply_string)) {
        remember(answer.value, text);
    }
    return answer;
}

atom_answer atom_client::atom_to_string(std::int32_t value) {
    if (options_.cache) forget_if_reconnected();
    if (const auto cached = string_of_.find(value); cached != string_of_.end()) {
        return atom_answer{atom_status::found, value, cached->second, {}, false};
    }
    atom_answer answer = run_call(*transport_, options_, [&](deadline until) {
        std::string reply;
        transport_result result = ask(*transport_, value_lookup_request(value), 'S', until, reply);
        if (result != transport_result::ok) return in_transit(result);
        std::optional<std::string> text = read_string_reply(reply);
        if (!text) return unreadable(reply, "S and a string");
        if (text->size() == max_reply_string) {
            // 99 bytes may be the whole string or its start. Its lookup says
            // which, where it fits in a request.
            attempt_result result99 = answered(atom_status::found, value, std::move(*text));
            const std::string lookup = string_lookup_request(result99.answer.text);
            if (lookup.size() > transport_->request_limit()) {
                result99.answer.truncated = true;
                return result99;
            }
            result = ask(*transport_, lookup, 'N', until, reply);
            if (result != transport_result::ok) return in_transit(result);
            const std::optional<std::int32_t> whole = read_value_reply(reply);
            if (!whole) return unreadable(reply, "N and a value");
            // -1 cannot tell its own 99-byte string from an unknown start.
            result99.answer.truncated = *whole != value || value == -1;
            return result99;
        }
        if (!text->empty()) return answered(atom_status::found, value, std::move(*text));
        // "S" alone is also the answer for a value bound to the empty string.
        if (value == -1) return answered(atom_status::not_found);
        result = ask(*transport_, string_lookup_request(""), 'N', until, reply);
        if (result != transport_result::ok) return in_transit(result);
        const std::optional<std::int32_t> empty_value = read_value_reply(reply);
        if (!empty_value) return unreadable(reply, "N and a value");
        if (*empty_value == value) return answered(atom_status::found, value, "");
        return answered(atom_status::not_found);
    });
    if (answer.status == atom_status::found && !answer.truncated) {
        remember(value, answer.text);
    }
    return answer;
}

atom_answer atom_client::associate(std::int32_t value, std::string_view text) {
    const std::string request = association_request(value, text);
    if (std::string why = why_unsendable(text, request, transport_->request_limit());
        !why.empty()) {
        return refused_before_sending(std::move(why));
    }
    if (value == -1 && text.empty() && !transport_->ordered()) {
        return refused_before_sending(
            "the empty string bound to -1 reads back as unknown from both sides, so its "
            "association cannot be confirmed over UDP; use TCP");
    }
    if (options_.cache) forget_if_reconnected();
    if (const auto cached = value_of_.find(std::string(text)); cached != value_of_.end()) {
        const atom_status status =
            cached->second == value ? atom_status::accepted : atom_status::refused;
        return atom_answer{status, cached->second, std::string(text), {}, false};
    }
    if (const auto cached = string_of_.find(value); cached != string_of_.end()) {
        // The string differs, or the lookup above would have found it.
        return atom_answer{atom_status::refused, value, cached->second, {}, false};
    }
    atom_answer answer = run_call(*transport_, options_, [&](deadline until) {
        return settle_association(*transport_, value, text, until);
    });
    // A refusal's string may have been cut to fit the server's reply.
    const bool whole =
        answer.text == text ||
        2 + std::to_string(answer.value).size() + answer.text.size() < max_formatted_reply;
    if (answer.status == atom_status::refused && !whole) answer.truncated = true;
    if ((answer.status == atom_status::accepted || answer.status == atom_status::refused) &&
        whole) {
        remember(answer.value, answer.text);
    }
    return answer;
}

}  // namespace atom
