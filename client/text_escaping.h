// The escaping that lets any atom string travel as one line of text: what
// `atom_client load --escaped` reads, what the batch lookups' --escaped output
// and `atom_journal dump` write. Every string the server can hold (any bytes
// but the zero byte) comes back from unescape(escape(s)) exactly.
//
//   backslash  \\        tab  \t        line feed  \n        carriage return  \r
//   any other byte below 0x20, and 0x7f: \xHH (two hex digits, either case)
//
// Every other byte, blanks and bytes from 0x80 on (UTF-8) included, stands for
// itself, so an escaped line never holds a tab, a line end or a control byte.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace atom {

std::string escape(std::string_view text);

// The string an escaped text stands for; nullopt, with the reason in *why
// when why is given, for a text that escape() could not have written: a lone
// backslash at the end, an unknown escape, bad hex digits, or \x00 (a zero
// byte, which no atom string holds).
std::optional<std::string> unescape(std::string_view escaped, std::string* why = nullptr);

}  // namespace atom
