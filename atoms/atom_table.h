// The atom table: a one-to-one, only-growing association between byte
// strings and 32-bit signed values, and handle_request, which reads one
// request text of the one-letter request language and builds the reply text.
// It knows nothing of sockets and is touched only from the event loop's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "atoms/protocol.h"

// One association. Both maps point at the same record; records are made only
// by associate, never changed and never freed.
struct _send_get_atom_msg {
    const char* string;  // private, zero-terminated copy
    std::int32_t value;
    std::uint32_t hash;  // of string, kept so lookups and rehashes never hash it again
};

class atom_table {
public:
    atom_table();
    ~atom_table();
    atom_table(const atom_table&) = delete;
    atom_table& operator=(const atom_table&) = delete;

    // Traces of handle_request and associate go to standard output when set.
    bool verbose = false;

    std::optional<std::int32_t> string_to_atom(std::string_view text) const;
    // The record's string stays valid for the life of the table.
    const _send_get_atom_msg* atom_to_string(std::int32_t value) const;

    // nullptr when accepted; otherwise the record that stays in force.
    const _send_get_atom_msg* associate(std::int32_t value, std::string_view text);

    std::size_t size() const;

    // Strings never hold a zero byte: they come from zero-terminated requests.

private:
    struct maps;
    std::unique_ptr<maps> maps_;
};

// Answers one zero-terminated request. The caller passes a reply buffer of
// reply_buffer_size bytes whose first byte is zero; afterwards it holds the
// reply to send, or is still empty when nothing is to be sent.
void handle_request(atom_table& table, const char* request, char* reply);
