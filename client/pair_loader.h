// Bulk loading of "VALUE STRING" lines over one TCP connection, with the
// requests pipelined. The server sends nothing for an accepted association,
// so every line travels as "A value string" followed by "S string": each line
// gets exactly one "N" reply, perhaps preceded by a refusal ("E"), and since
// replies come in request order the replies are matched to lines by counting.
// A line is accepted when no refusal came and the lookup shows its value.
//
// The server closes a client whose reply it cannot write at once, so the
// loader reads replies while it writes and keeps at most a window of lines
// unanswered; their replies always fit the socket buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/atom_client.h"
#include "client/request_text.h"

// A line's pair: the value in decimal, one blank or tab, and the string, every
// byte of the rest of the line. Empty when the line is not such a line, with
// the reason in why.
struct value_string_line {
    std::int32_t value = 0;
    std::string text;
};
std::optional<value_string_line> parse_pair_line(std::string_view line, std::string& why);

// A line that was not loaded: malformed (why says how), or refused with the
// association in force.
struct load_issue {
    std::size_t line = 0;
    std::string why;  // empty for a refusal
    value_string_line pair;
    pair_in_force in_force;
};

struct load_summary {
    std::size_t lines = 0;
    std::size_t accepted = 0;
    std::size_t refused = 0;
    std::size_t malformed = 0;
    std::vector<load_issue> issues;  // in line order
    // accepted when every line was read and answered; otherwise why the load
    // stopped (unreachable, timed_out, bad_reply), with error.
    atom_status status = atom_status::accepted;
    std::string error;
};

// At most this many lines are unanswered at once.
inline constexpr std::size_t load_window_lines = 1024;

// Loads every line of in. progress, when given, is called now and then with
// the counts so far. A connection lost midway is reopened once, and the
// unanswered lines sent again (associations are idempotent).
load_summary load_pairs(const client_options& options, std::istream& in,
                        const std::function<void(const load_summary&)>& progress = {});
