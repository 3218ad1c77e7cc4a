#include "client/association.h"

namespace atom::detail {

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

}  // namespace atom::detail
