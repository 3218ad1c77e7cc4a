// The texts of the one-letter request language as the client writes and reads
// them: requests built from values and strings, replies taken apart, and the
// check that a request fits the transport before it is sent. No sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "atoms/protocol.h"
#include "client/atom_client.h"

namespace atom::detail {

std::string string_lookup_request(std::string_view text);                    // "S" text
std::string value_lookup_request(std::int32_t value);                        // "N" value
std::string association_request(std::int32_t value, std::string_view text);  // "A" value blank text
inline constexpr std::string_view ping_request = "P";

// Empty when the request can be sent; otherwise the reason it cannot: text
// holds a zero byte (which would end the request early) or the request is
// longer than limit.
std::string why_unsendable(std::string_view text, std::string_view request, std::size_t limit);

// Replies, strictly: anything else is not a reply to the request asked.
std::optional<std::int32_t> read_value_reply(std::string_view reply);     // "N%d"
std::optional<std::string> read_string_reply(std::string_view reply);     // "S" and the string
std::optional<pair_in_force> read_refusal_reply(std::string_view reply);  // "E%d %s"
bool is_alive_reply(std::string_view reply);                              // "R"

// Reads a decimal 32-bit value, optional sign, nothing else around it.
std::optional<std::int32_t> parse_value(std::string_view digits);

}  // namespace atom::detail
