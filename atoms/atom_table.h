// The atom table: a one-to-one, only-growing association between byte
// strings and 32-bit signed values. It knows nothing of sockets and is touched
// only from the event loop's thread; handle_request (request_handler.h) reads
// the request language over it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

// One association. Both maps point at the same record; records are made only
// by associate, never changed and never freed.
struct _send_get_atom_msg {
    const char* string;  // private, zero-terminated copy
    std::int32_t value;
    std::uint32_t hash;  // of string, kept so lookups and rehashes never hash it again
};

// Where the table's traces go: printf's manner, one whole message per call.
typedef void (*trace_function)(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Standard output through stdio, flushed at once.
void print_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// How the atoms spread over the maps' buckets: for tests and benchmarks, as
// finding it walks every bucket.
struct table_shape {
    std::size_t string_buckets;
    std::size_t longest_string_bucket;
    std::size_t value_buckets;
    std::size_t longest_value_bucket;
};

enum class association_outcome {
    accepted,    // the pair is in the table (it may have been there already)
    refused,     // the string or the value is taken: in_force says by what
    not_stored,  // allowed, but the table could not store it and is unchanged
};

struct association_result {
    association_outcome outcome;
    const _send_get_atom_msg* in_force = nullptr;  // when refused; lives as long as the table
};

// Associations that were allowed but could not be stored, since the server
// last reported them. The table only counts; the server says so.
struct store_failures {
    std::uint64_t count = 0;
    const char* reason = nullptr;  // of the latest, a static text
};

// What makes new associations last beyond the process (the journal). It is
// called once for each new pair, after the pair is in the table and before
// associate returns, so nothing can reveal the pair before it is kept. It
// returns nullptr when the pair is kept; otherwise the pair is undone, and
// the text returned, which lives as long as the keeper, says why.
using association_keeper = std::function<const char*(std::int32_t value, std::string_view text)>;

class atom_table {
public:
    atom_table();
    ~atom_table();
    atom_table(const atom_table&) = delete;
    atom_table& operator=(const atom_table&) = delete;

    // Traces of handle_request and associate are written through trace when set.
    bool verbose = false;
    trace_function trace = print_trace;

    std::optional<std::int32_t> string_to_atom(std::string_view text) const;
    // The record's string stays valid for the life of the table.
    const _send_get_atom_msg* atom_to_string(std::int32_t value) const;

    // Keeps the table one-to-one. A pair is stored whole or not at all: when
    // memory runs out the table stays as it was, and the failure is counted.
    association_result associate(std::int32_t value, std::string_view text);
    store_failures unstored;
    // None: the table lives only in memory.
    association_keeper keeper;

    std::size_t size() const;
    table_shape shape() const;
    // Room for about n atoms without rehashing, when a caller knows how many
    // are coming (a journal's replay); a hint only, ignored without memory.
    void reserve(std::size_t n);

    // Strings never hold a zero byte: they come from zero-terminated requests.

private:
    association_result store(std::int32_t value, std::string_view text, std::uint32_t hash);

    struct maps;
    std::unique_ptr<maps> maps_;
};
