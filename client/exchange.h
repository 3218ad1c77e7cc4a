// One call's exchange with the server, independent of the transport: the
// attempts a call gets, reading the reply of the kind awaited, and the shapes
// of the results an attempt can come to.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "client/atom_client.h"
#include "client/request_text.h"
#include "client/transport.h"

namespace atom::detail {

// What one attempt at a call came to: the answer, or the way the exchange
// failed in transit.
struct attempt_result {
    transport_result transit = transport_result::ok;
    atom_answer answer;
};

attempt_result answered(atom_status status, std::int32_t value = 0, std::string text = {});
attempt_result unreadable(std::string_view reply, std::string_view expected);
attempt_result in_transit(transport_result failure);
atom_answer refused_before_sending(std::string reason);

// Whether a string the server returned (at most its first 99 bytes) is text.
bool same_string(std::string_view returned, std::string_view text);

// Reads replies until one begins with letter. A refusal ("E") met on the way
// is kept in *refusal when the caller passes one. Datagrams of any other kind
// are left-overs of an earlier exchange and are skipped; on a connection
// replies come in order, so another kind is handed to the caller, whose
// reading of it fails.
transport_result await_reply(transport& t, char letter, deadline until, std::string& reply,
                             std::optional<pair_in_force>* refusal = nullptr);

// Sends one request and reads the reply that begins with letter.
transport_result ask(transport& t, std::string_view request, char letter, deadline until,
                     std::string& reply, std::optional<pair_in_force>* refusal = nullptr);

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
            failed.error = t.error().empty() ? "no answer within the time-out" : t.error();
            return failed;
        }
    }
}

}  // namespace atom::detail
