#include "atoms/request_handler.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using record = _send_get_atom_msg;

// A decimal number as the request language reads it: leading white space, an
// optional sign, digits. Its low 32 bits, taken as signed, are the value.
// Returns where the number ends, or nullptr when there are no digits.
const char* read_number(const char* text, std::int32_t& value) {
    char* end = nullptr;
    const int saved_errno = errno;
    const long long number = std::strtoll(text, &end, 10);
    errno = saved_errno;  // an out-of-range number still yields its low bits
    if (end == text) return nullptr;
    value = static_cast<std::int32_t>(static_cast<std::uint32_t>(number));
    return end;
}

void format_reply(char* reply, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Replies are cut to 99 characters, as every formatted reply is.
void format_reply(char* reply, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(reply, max_formatted_reply + 1, format, args);
    va_end(args);
}

void do_string_to_atom(atom_table& table, const char* text, char* reply) {
    if (table.verbose) table.trace("Doing a string_to_atom\n");
    format_reply(reply, "N%d", table.string_to_atom(text).value_or(-1));
    if (table.verbose) table.trace("Sending %s\n", reply);
}

void do_atom_to_string(atom_table& table, const char* text, char* reply) {
    std::int32_t value = 0;
    if (read_number(text, value) == nullptr) return;
    if (table.verbose) table.trace("Doing a atom_to_string\n");
    const record* found = table.atom_to_string(value);
    // "S" and up to 99 characters of the string: the one reply that may use
    // all 100 characters.
    reply[0] = 'S';
    const std::size_t length = found == nullptr ? 0 : ::strnlen(found->string, max_reply_string);
    if (length > 0) std::memcpy(reply + 1, found->string, length);
    reply[1 + length] = '\0';
    if (table.verbose) table.trace("Sending %s\n", reply);
}

void do_associate(atom_table& table, const char* text, char* reply) {
    std::int32_t value = 0;
    const char* end = read_number(text, value);
    if (end == nullptr) {
        value = 0;
        end = text;
    }
    // The string starts one byte past the number, whatever that byte is. With
    // nothing there the request is malformed: the string would start beyond
    // the terminator.
    if (*end == '\0') return;
    // An accepted pair gets no reply, and nor does one the table could not
    // store: there is no reply that says so, and an "E" would name a pair
    // that is not in force. A client that looks the string up sees it absent.
    const association_result result = table.associate(value, end + 1);
    if (result.outcome != association_outcome::refused) return;
    const record* conflict = result.in_force;
    format_reply(reply, "E%d %s", conflict->value, conflict->string);
    if (table.verbose) table.trace("Sending %s\n", reply);
}

}  // namespace

void handle_request(atom_table& table, const char* request, char* reply) {
    switch (request[0]) {
        case 'S':
            return do_string_to_atom(table, request + 1, reply);
        case 'N':
            return do_atom_to_string(table, request + 1, reply);
        case 'A':
            return do_associate(table, request + 1, reply);
        case 'P':
            if (table.verbose) table.trace("Sending %c\n", 'R');
            reply[0] = 'R';
            reply[1] = '\0';
            return;
        default:
            return;
    }
}
