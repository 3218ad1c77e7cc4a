#include "client/exchange.h"

namespace atom::detail {

attempt_result answered(atom_status status, std::int32_t value, std::string text) {
    return {transport_result::ok, atom_answer{status, value, std::move(text), {}, false}};
}

attempt_result unreadable(std::string_view reply, std::string_view expected) {
    atom_answer answer{atom_status::bad_reply, 0, {}, {}};
    answer.error = "expected ";
    answer.error += expected;
    answer.error += " from the server, got \"";
    answer.error += reply;
    answer.error += "\"";
    return {transport_result::ok, answer};
}

attempt_result in_transit(transport_result failure) { return {failure, {}}; }

atom_answer refused_before_sending(std::string reason) {
    return atom_answer{atom_status::bad_request, 0, {}, std::move(reason), false};
}

transport_result await_reply(transport& t, char letter, deadline until, std::string& reply,
                             std::optional<pair_in_force>* refusal) {
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

transport_result ask(transport& t, std::string_view request, char letter, deadline until,
                     std::string& reply, std::optional<pair_in_force>* refusal) {
    const transport_result sent = t.send({request}, until);
    if (sent != transport_result::ok) return sent;
    return await_reply(t, letter, until, reply, refusal);
}

bool same_string(std::string_view returned, std::string_view text) {
    if (text.size() <= max_reply_string) return returned == text;
    return returned == text.substr(0, max_reply_string);
}

}  // namespace atom::detail
