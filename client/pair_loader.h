// Bulk loading of "VALUE STRING" lines over one TCP connection, with the
// requests pipelined. The server sends nothing for an accepted association
// and serves one frame at a time, so the loader sends one frame per line when
// it can:
//
// - Lines go in batches of up to load_batch_lines: an "A value string" per
//   line, then "P". Replies come in request order and every refusal is
//   answered, so when the batch's "R" arrives every "E" before it belongs to
//   one of its lines, in line order, and every other line was accepted. An
//   "E" names the pair in force, and a line it can refuse (the same value with
//   another string, or the same string with another value) is found by
//   walking forward; no accepted line can match a later line's refusal, since
//   the table is one-to-one.
// - A refusal cut short by the server (99 characters: its string may be
//   longer) can be ambiguous, and so can one no line matches. Such a batch is
//   sent again line by line as "A value string" and "S string": exactly one
//   "N" per line, perhaps after its "E"; a line is accepted when no refusal
//   came and the lookup shows its value. Associations are idempotent, so
//   sending a line again changes nothing.
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

// At most this many lines are unanswered at once, in batches of at most
// load_batch_lines.
inline constexpr std::size_t load_window_lines = 1024;
inline constexpr std::size_t load_batch_lines = 64;

// Loads every line of in. progress, when given, is called now and then with
// the counts so far. A connection lost midway is reopened once, and the
// unanswered lines sent again (associations are idempotent).
load_summary load_pairs(const client_options& options, std::istream& in,
                        const std::function<void(const load_summary&)>& progress = {});
