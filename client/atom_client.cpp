#include "client/atom_client.h"

#include <optional>

#include "client/request_text.h"
#include "client/transport.h"

namespace {

// What one attempt at a call came to: the answer, or the way the exchange
// failed in transit.
struct attempt_result {
    transport_result transit = transport_result::ok;
    atom_answer answer;
};

attempt_result answered(atom_status status, std::int32_t value = 0, std::string text = {}) {
    return {transport_result::ok, atom_answer{status, value, std::move(text), {}}};
}

attempt_result unreadable(std::string_view reply, const char* expected) {
    atom_answer answer{atom_status::bad_reply, 0, {}, {}};
    answer.error = std::string("expected ") + expected + " from the server, got \"" +
                   std::string(reply) + "\"";
    return {transport_result::ok, answer};
}

attempt_result in_transit(transport_result failure) { return {failure, {}}; }

atom_answer refused_before_sending(std::string reason) {
    return atom_answer{atom_status::bad_request, 0, {}, std::move(reason)};
}

// Reads replies until one begins with letter. A refusal ("E") met on the way
// is kept in *refusal when the caller passes one. Datagrams of any other kind
// are left-overs of an earlier exchange and are skipped; on a connection
// replies come in order, so another kind is handed to the caller, whose
// reading of it fails.
transport_result await_reply(transport& t, char letter, deadline until, std::string& reply,
                             std::optional<pair_in_force>* refusal = nullptr) {
    for (;;) {
        const transport_result result = t.receive(reply, until);
        if (result != transport_result::ok) return result;
        if (!reply.empty() && reply[0] == letter) return result;
        if (refusal != nullptr && !reply.empty() && reply[0] == 'E') {
            if (std::optional<pair_in_force> pair = read_refusal_reply(reply)) {
                *refusal = std::move(pair);
                continue;
            }
        }
        if (t.ordered()) return result;
    }
}

// Sends one request and reads the reply that begins with letter.
transport_result ask(transport& t, std::string_view request, char letter, deadline until,
                     std::string& reply, std::optional<pair_in_force>* refusal = nullptr) {
    const transport_result sent = t.send({request}, until);
    if (sent != transport_result::ok) return sent;
    return await_reply(t, letter, until, reply, refusal);
}

// Whether a string the server returned (at most its first 99 bytes) is text.
bool same_string(std::string_view returned, std::string_view text) {
    if (text.size() <= max_reply_string) return returned == text;
    return returned == text.substr(0, max_reply_string);
}

// Runs a call's attempts. Over TCP a lost connection is reopened and the call
// repeated once, all within the one time-out; over UDP an attempt that timed
// out is repeated, each attempt with its share of the time-out. Every
// request of the language is idempotent, so repeating one is harmless. After
// a failure the socket is replaced, so that a late reply is never read as the
// answer to a later request.
template <class attempt_fn>
atom_answer run_call(transport& t, const client_options& options, attempt_fn attempt) {
    const deadline start = client_clock::now();
    const int attempts = t.ordered() ? 2 : std::max(1, options.udp_attempts);
    for (int i = 1;; ++i) {
        const deadline until =
            t.ordered() ? start + options.timeout : start + options.timeout * i / attempts;
        attempt_result result = attempt(until);
        if (result.transit == transport_result::ok) {
            if (result.answer.status == atom_status::bad_reply) t.reset();
            return result.answer;
        }
        t.reset();
        const bool again = t.ordered() ? result.transit == transport_result::lost
                                       : result.transit == transport_result::timed_out;
        if (!again || i >= attempts) {
            atom_answer failed;
            failed.status = result.transit == transport_result::timed_out
                                ? atom_status::timed_out
                                : atom_status::unreachable;
            failed.error = t.error();
            return failed;
        }
    }
}

// Decides an association from the replies to "A value text" and "S text".
// Over a connection they come in order and every refusal is answered, so no
// refusal means accepted. Over datagrams any of the three may be lost, so
// the server's table is asked until it shows the pair or its conflict.
attempt_result settle_association(transport& t, std::int32_t value, std::string_view text,
                                  deadline until) {
    const std::string request = association_request(value, text);
    const std::string lookup = string_lookup_request(text);
    transport_result result = t.send({request, lookup}, until);
    if (result != transport_result::ok) return in_transit(result);
    std::optional<pair_in_force> refusal;
    std::string reply;
    result = await_reply(t, 'N', until, reply, &refusal);
    if (result != transport_result::ok) return in_transit(result);
    const std::optional<std::int32_t> bound = read_value_reply(reply);
    if (!bound) return unreadable(reply, "N and a value");
    // A refusal names the value it was about: the requested value when that
    // value is taken by another string, the string's own value otherwise. Its
    // string may be cut short by the server; the requested string is whole.
    auto refused_by = [&](const pair_in_force& pair) {
        if (pair.value == value) return answered(atom_status::refused, value, pair.text);
        return answered(atom_status::refused, pair.value, std::string(text));
    };
    if (refusal) return refused_by(*refusal);
    if (t.ordered()) {
        // Every refusal is answered, and in order: none means accepted.
        if (*bound == value) return answered(atom_status::accepted, value, std::string(text));
        return unreadable(reply, "a refusal, or N and the requested value");
    }
    if (*bound == value && value != -1) {
        return answered(atom_status::accepted, value, std::string(text));
    }
    if (*bound != -1) {
        t.reset();  // the lost refusal may still be on its way
        return answered(atom_status::refused, *bound, std::string(text));
    }
    // "N-1": the string is unknown or bound to -1. Either the association was
    // lost, or it was refused and the refusal lost or still on its way. The
    // table says which: who holds the value, and who holds -1.
    if (value != -1) {
        result = ask(t, value_lookup_request(value), 'S', until, reply, &refusal);
        if (result != transport_result::ok) return in_transit(result);
        if (refusal) return refused_by(*refusal);
        const std::optional<std::string> held = read_string_reply(reply);
        if (!held) return unreadable(reply, "S and a string");
        // "S" alone: the value is free (had the empty string held it, the
        // lookup of the empty string would have shown it).
        if (!held->empty()) {
            t.reset();
            if (*held == text) return answered(atom_status::accepted, value, std::string(text));
            return answered(atom_status::refused, value, *held);
        }
    }
    result = ask(t, value_lookup_request(-1), 'S', until, reply, &refusal);
    if (result != transport_result::ok) return in_transit(result);
    if (refusal) return refused_by(*refusal);
    const std::optional<std::string> held = read_string_reply(reply);
    if (!held) return unreadable(reply, "S and a string");
    if (*held == text && !text.empty()) {
        if (value == -1) return answered(atom_status::accepted, value, std::string(text));
        t.reset();
        return answered(atom_status::refused, -1, std::string(text));
    }
    if (value == -1 && !held->empty()) {
        t.reset();
        return answered(atom_status::refused, -1, *held);
    }
    // Neither the string nor the value is held: the association was lost.
    return in_transit(transport_result::timed_out);
}

}  // namespace

const char* status_name(atom_status status) {
    switch (status) {
        case atom_status::found: return "found";
        case atom_status::not_found: return "not found";
        case atom_status::accepted: return "accepted";
        case atom_status::refused: return "refused";
        case atom_status::alive: return "alive";
        case atom_status::unreachable: return "server unreachable";
        case atom_status::timed_out: return "timed out";
        case atom_status::bad_reply: return "unreadable reply";
        case atom_status::bad_request: return "request refused before sending";
    }
    return "unknown";
}

atom_client::atom_client(client_options options)
    : options_(std::move(options)),
      transport_(options_.transport == transport_kind::tcp ? make_tcp_transport(options_)
                                                           : make_udp_transport(options_)) {}

atom_client::~atom_client() = default;

std::size_t atom_client::requests_sent() const { return transport_->requests_sent(); }

void atom_client::remember(std::int32_t value, std::string_view text) {
    if (!options_.cache) return;
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
    if (std::string why = why_unsendable(text, request, transport_->request_limit()); !why.empty()) {
        return refused_before_sending(std::move(why));
    }
    if (const auto cached = value_of_.find(std::string(text)); cached != value_of_.end()) {
        return atom_answer{atom_status::found, cached->second, std::string(text), {}};
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
    if (const auto cached = string_of_.find(value); cached != string_of_.end()) {
        return atom_answer{atom_status::found, value, cached->second, {}};
    }
    atom_answer answer = run_call(*transport_, options_, [&](deadline until) {
        std::string reply;
        transport_result result = ask(*transport_, value_lookup_request(value), 'S', until, reply);
        if (result != transport_result::ok) return in_transit(result);
        std::optional<std::string> text = read_string_reply(reply);
        if (!text) return unreadable(reply, "S and a string");
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
    // A string of 99 bytes may be the start of a longer one.
    if (answer.status == atom_status::found && answer.text.size() < max_reply_string) {
        remember(value, answer.text);
    }
    return answer;
}

atom_answer atom_client::associate(std::int32_t value, std::string_view text) {
    const std::string request = association_request(value, text);
    if (std::string why = why_unsendable(text, request, transport_->request_limit()); !why.empty()) {
        return refused_before_sending(std::move(why));
    }
    if (value == -1 && text.empty() && !transport_->ordered()) {
        return refused_before_sending(
            "the empty string bound to -1 reads back as unknown from both sides, so its "
            "association cannot be confirmed over UDP; use TCP");
    }
    if (const auto cached = value_of_.find(std::string(text)); cached != value_of_.end()) {
        const atom_status status =
            cached->second == value ? atom_status::accepted : atom_status::refused;
        return atom_answer{status, cached->second, std::string(text), {}};
    }
    if (const auto cached = string_of_.find(value); cached != string_of_.end()) {
        // The string differs, or the lookup above would have found it.
        return atom_answer{atom_status::refused, value, cached->second, {}};
    }
    atom_answer answer = run_call(*transport_, options_, [&](deadline until) {
        return settle_association(*transport_, value, text, until);
    });
    // A refusal's string may have been cut to fit the server's reply.
    const bool whole = answer.text == text ||
                       2 + std::to_string(answer.value).size() + answer.text.size() < max_reply_text;
    if ((answer.status == atom_status::accepted || answer.status == atom_status::refused) &&
        whole) {
        remember(answer.value, answer.text);
    }
    return answer;
}

std::int32_t intern_candidate(std::string_view text, unsigned k) {
    // FNV-1a over the string, then a 32-bit mix of it with the round, so
    // that candidates spread over the whole positive range: runs of values
    // taken by bulk loads (1, 2, 3, ...) cost no more than scattered ones.
    std::uint32_t h = 2166136261u;
    for (const char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= 16777619u;
    }
    std::uint32_t x = h + k * 0x9e3779b9u;
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    const std::uint32_t positive = x & 0x7fffffffu;
    return static_cast<std::int32_t>(positive == 0 ? 1 : positive);
}

atom_answer atom_client::intern(std::string_view text) {
    const std::string longest = association_request(2147483647, text);
    if (std::string why = why_unsendable(text, longest, transport_->request_limit()); !why.empty()) {
        return refused_before_sending(std::move(why));
    }
    if (const auto cached = value_of_.find(std::string(text)); cached != value_of_.end()) {
        return atom_answer{atom_status::found, cached->second, std::string(text), {}};
    }
    for (unsigned k = 0; k < max_intern_candidates; ++k) {
        const std::int32_t candidate = intern_candidate(text, k);
        atom_answer answer = associate(candidate, text);
        if (answer.status == atom_status::accepted ||
            (answer.status == atom_status::refused && answer.value != candidate)) {
            // Ours now, or the string's own value already.
            answer.status = atom_status::found;
            answer.text = std::string(text);
            return answer;
        }
        if (answer.status != atom_status::refused) return answer;
        // The candidate value belongs to another string: try the next.
    }
    atom_answer exhausted;
    exhausted.status = atom_status::refused;
    exhausted.error = "no free value among " + std::to_string(max_intern_candidates) +
                      " candidates";
    return exhausted;
}
