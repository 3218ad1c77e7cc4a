// intern: get-or-create over a table whose values the clients choose.
#include "client/atom_client.h"
#include "client/exchange.h"

namespace atom {

using namespace detail;

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
    const std::size_t limit = transport_->request_limit();
    if (std::string why = why_unsendable(text, string_lookup_request(text), limit); !why.empty()) {
        return refused_before_sending(std::move(why));
    }
    if (options_.cache) forget_if_reconnected();
    if (const auto cached = value_of_.find(std::string(text)); cached != value_of_.end()) {
        return atom_answer{atom_status::found, cached->second, std::string(text), {}, false};
    }
    // A string too long for some candidate's association may be stored
    // already (by a client over TCP): a lookup finds it.
    if (!why_unsendable(text, association_request(2147483647, text), limit).empty()) {
        atom_answer known = string_to_atom(text);
        if (known.status != atom_status::not_found) return known;
    }
    for (unsigned k = 0; k < max_intern_candidates; ++k) {
        const std::int32_t candidate = intern_candidate(text, k);
        // Candidates are tried in the same order by every client, so one that
        // does not fit ends the search instead of being skipped.
        if (!why_unsendable(text, association_request(candidate, text), limit).empty()) {
            return refused_before_sending(
                "the string is not stored, and at " + std::to_string(text.size()) +
                " bytes it is too long to be given a value over " +
                (transport_->ordered() ? std::string("TCP")
                                       : std::string("UDP (TCP takes longer strings)")));
        }
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
    exhausted.error =
        "no free value among " + std::to_string(max_intern_candidates) + " candidates";
    return exhausted;
}

}  // namespace atom
