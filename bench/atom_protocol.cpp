#include "bench/atom_protocol.h"

namespace atom_protocol {

void write_request(const request_shape& r, std::string& t, text_sink& out) {
    auto key_text = [&](std::string_view prefix, std::int64_t n) {
        t.append(prefix);
        append_number(t, n);
    };
    switch (r.workload) {
        case workload_kind::ping:
            t.clear();
            t.append("P");
            out.put(t);
            break;
        case workload_kind::lookup:
        case workload_kind::miss:
            t.clear();
            t.append("S");
            key_text(r.workload == workload_kind::lookup ? present_key : absent_key, r.key);
            out.put(t);
            break;
        case workload_kind::associate:
            t.clear();
            t.append("A");
            append_number(t, r.key);
            t.push_back(' ');
            key_text(new_key, r.key);
            out.put(t);
            t.clear();
            t.append("S");
            key_text(new_key, r.key);
            out.put(t);
            break;
        case workload_kind::load:
            for (std::int64_t k = r.key; k < r.key + r.count; ++k) {
                t.clear();
                t.append("A");
                append_number(t, k);
                t.push_back(' ');
                key_text(present_key, k);
                out.put(t);
            }
            t.clear();
            t.append("S");
            key_text(present_key, r.key + r.count - 1);
            out.put(t);
            break;
    }
}

void append_frame(std::string& out, std::string_view text) {
    out.push_back(static_cast<char>(static_cast<unsigned char>(text.size())));
    out.append(text);
}

std::size_t take_frame(std::string_view bytes, std::string_view& reply) {
    if (bytes.empty()) return 0;
    const std::size_t length = static_cast<unsigned char>(bytes[0]);
    if (bytes.size() < 1 + length) return 0;
    reply = bytes.substr(1, length);
    return 1 + length;
}

bool is_refusal(std::string_view reply) { return !reply.empty() && reply[0] == 'E'; }

bool is_expected_reply(const request_shape& r, std::string_view reply) {
    // A lookup's answer: "N" and the value.
    auto value_is = [&](std::int64_t n) {
        return reply.size() > 1 && reply[0] == 'N' && number_is(reply.substr(1), n);
    };
    switch (r.workload) {
        case workload_kind::ping:
            return reply == "R";
        case workload_kind::lookup:
        case workload_kind::associate:
            return value_is(r.key);
        case workload_kind::miss:
            return reply == "N-1";
        case workload_kind::load:
            return value_is(r.key + r.count - 1);
    }
    return false;
}

}  // namespace atom_protocol
