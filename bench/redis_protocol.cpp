#include "bench/redis_protocol.h"

namespace redis_protocol {

void write_request(const request_shape& r, std::string& t, text_sink& out) {
    auto key_text = [&](std::string_view prefix, std::int64_t n) {
        t.append(prefix);
        append_number(t, n);
    };
    switch (r.workload) {
        case workload_kind::ping:
            t.clear();
            t.append("PING");
            out.put(t);
            break;
        case workload_kind::lookup:
        case workload_kind::miss:
            t.clear();
            t.append("GET ");
            key_text(r.workload == workload_kind::lookup ? present_key : absent_key, r.key);
            out.put(t);
            break;
        case workload_kind::associate:
            // A new pair, then a lookup of it on the same connection: the
            // lookup's answer confirms the pair was recorded.
            t.clear();
            t.append("SETNX ");
            key_text(new_key, r.key);
            t.push_back(' ');
            append_number(t, r.key);
            out.put(t);
            t.clear();
            t.append("GET ");
            key_text(new_key, r.key);
            out.put(t);
            break;
        case workload_kind::load:
            for (std::int64_t k = r.key; k < r.key + r.count; ++k) {
                // The same pair as two keys, one for each direction.
                t.clear();
                t.append("SETNX ");
                key_text(present_key, k);
                t.push_back(' ');
                append_number(t, k);
                out.put(t);
                t.clear();
                t.append("SETNX ");
                append_number(t, k);
                t.push_back(' ');
                key_text(present_key, k);
                out.put(t);
            }
            break;
    }
}

void append_command(std::string& out, std::string_view text) {
    out.append(text);
    out.append("\r\n");
}

std::int32_t replies_to(const request_shape& r) {
    switch (r.workload) {
        case workload_kind::associate:
            return 2;
        case workload_kind::load:
            return 2 * r.count;
        default:
            return 1;
    }
}

std::size_t take_reply(std::string_view bytes, std::string_view& reply) {
    const std::size_t line_end = bytes.find("\r\n");
    if (line_end == std::string_view::npos) return 0;
    if (bytes[0] != '$') {
        reply = bytes.substr(0, line_end);
        return line_end + 2;
    }
    std::int64_t length = 0;
    std::from_chars(bytes.data() + 1, bytes.data() + line_end, length);
    if (length < 0) {
        reply = "(nil)";
        return line_end + 2;
    }
    const std::size_t total = line_end + 2 + static_cast<std::size_t>(length) + 2;
    if (bytes.size() < total) return 0;
    reply = bytes.substr(line_end + 2, static_cast<std::size_t>(length));
    return total;
}

bool is_error(std::string_view reply) { return !reply.empty() && reply[0] == '-'; }

bool is_expected_reply(const request_shape& r, std::string_view reply) {
    switch (r.workload) {
        case workload_kind::ping:
            return reply == "+PONG";
        case workload_kind::lookup:
        case workload_kind::associate:
            return number_is(reply, r.key);
        case workload_kind::miss:
            return reply == "(nil)";
        case workload_kind::load:
            return reply == ":1" || reply == ":0";
    }
    return false;
}

}  // namespace redis_protocol
