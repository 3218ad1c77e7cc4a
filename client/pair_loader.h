// How load_pairs works: "VALUE STRING" lines over one TCP connection, with the
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
// unanswered; their replies always fit the socket buffers. Input is read as
// it comes: a batch goes out as soon as the input pauses, however few lines
// it holds, and the time-out runs only while replies are awaited.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "client/atom_client.h"

namespace atom::detail {

// A line's pair, or nullopt with the reason in why. Escaped, the string is
// unescaped with atom::unescape.
std::optional<value_string_line> parse_pair_line(std::string_view line, std::string& why,
                                                 bool escaped = false);

// At most this many lines are unanswered at once, in batches of at most
// load_batch_lines.
inline constexpr std::size_t load_window_lines = 1024;
inline constexpr std::size_t load_batch_lines = 64;

}  // namespace atom::detail
