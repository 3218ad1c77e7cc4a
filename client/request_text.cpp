#include "client/request_text.h"

#include <charconv>
#include <limits>

namespace atom::detail {

namespace {

// Built by appending: g++ 12 warns falsely on "X" + std::string (its bug
// 105329), and warnings are errors here.
std::string request_of(char letter, std::string_view number, std::string_view text) {
    std::string request;
    request.reserve(1 + number.size() + 1 + text.size());
    request.push_back(letter);
    request.append(number);
    if (!number.empty() && letter == 'A') request.push_back(' ');
    request.append(text);
    return request;
}

}  // namespace

std::string string_lookup_request(std::string_view text) { return request_of('S', {}, text); }

std::string value_lookup_request(std::int32_t value) {
    return request_of('N', std::to_string(value), {});
}

std::string association_request(std::int32_t value, std::string_view text) {
    return request_of('A', std::to_string(value), text);
}

std::string why_unsendable(std::string_view text, std::string_view request, std::size_t limit) {
    if (text.find('\0') != std::string_view::npos) {
        return "the string holds a zero byte, which the server takes as its end";
    }
    if (request.size() > limit) {
        return "the request would be " + std::to_string(request.size()) +
               " bytes long; this transport carries at most " + std::to_string(limit);
    }
    return {};
}

std::optional<std::int32_t> parse_value(std::string_view digits) {
    // from_chars takes no '+', which a value written by hand may carry.
    if (digits.size() > 1 && digits[0] == '+' && digits[1] != '-') digits.remove_prefix(1);
    std::int32_t value = 0;
    const char* end = digits.data() + digits.size();
    const auto [stop, error] = std::from_chars(digits.data(), end, value);
    if (error != std::errc() || stop != end || digits.empty()) return std::nullopt;
    return value;
}

std::optional<std::int32_t> read_value_reply(std::string_view reply) {
    if (reply.empty() || reply[0] != 'N') return std::nullopt;
    reply.remove_prefix(1);
    if (!reply.empty() && reply[0] == '+') return std::nullopt;
    return parse_value(reply);
}

std::optional<std::string> read_string_reply(std::string_view reply) {
    if (reply.empty() || reply[0] != 'S') return std::nullopt;
    return std::string(reply.substr(1));
}

std::optional<pair_in_force> read_refusal_reply(std::string_view reply) {
    if (reply.empty() || reply[0] != 'E') return std::nullopt;
    const std::size_t blank = reply.find(' ');
    if (blank == std::string_view::npos) return std::nullopt;
    const std::string_view number = reply.substr(1, blank - 1);
    if (!number.empty() && number[0] == '+') return std::nullopt;
    const std::optional<std::int32_t> value = parse_value(number);
    if (!value) return std::nullopt;
    return pair_in_force{*value, std::string(reply.substr(blank + 1))};
}

bool is_alive_reply(std::string_view reply) { return reply == "R"; }

}  // namespace atom::detail
