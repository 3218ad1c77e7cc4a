#include "atoms/atom_table.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <new>
#include <unordered_set>

#include "atoms/keyed_hash.h"
#include "atoms/table_memory.h"

namespace {

using record = _send_get_atom_msg;

// A string looked up with its hash computed once.
struct string_key {
    std::string_view text;
    std::uint32_t hash;
};

struct hash_by_string {
    using is_transparent = void;
    std::size_t operator()(const record* r) const noexcept { return r->hash; }
    std::size_t operator()(const string_key& k) const noexcept { return k.hash; }
};

struct equal_by_string {
    using is_transparent = void;
    bool operator()(const record* a, const record* b) const noexcept { return a == b; }
    bool operator()(const string_key& k, const record* r) const noexcept {
        return k.hash == r->hash && k.text == std::string_view(r->string);
    }
    bool operator()(const record* r, const string_key& k) const noexcept { return (*this)(k, r); }
};

// Keys are the values widened to 64 bits; only their low 32 bits can differ.
struct hash_by_value {
    using is_transparent = void;
    hash_key key;
    std::size_t operator()(const record* r) const noexcept { return hash_value(key, r->value); }
    std::size_t operator()(std::int64_t v) const noexcept {
        return hash_value(key, static_cast<std::int32_t>(v));
    }
};

struct equal_by_value {
    using is_transparent = void;
    bool operator()(const record* a, const record* b) const noexcept { return a == b; }
    bool operator()(std::int64_t v, const record* r) const noexcept { return v == r->value; }
    bool operator()(const record* r, std::int64_t v) const noexcept { return v == r->value; }
};

using string_set = std::unordered_set<const record*, hash_by_string, equal_by_string,
                                      node_pool_allocator<const record*>>;
using value_set = std::unordered_set<const record*, hash_by_value, equal_by_value,
                                     node_pool_allocator<const record*>>;

// Only a hint to the initial bucket count; the maps grow from it as needed.
constexpr std::size_t initial_buckets = 0;

}  // namespace

void print_trace(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);  // traces are followed as they happen
}

// The pool is declared first so that it outlives the maps whose nodes it holds.
struct atom_table::maps {
    hash_key key = random_hash_key();
    node_pool nodes;
    string_set string_map{initial_buckets, hash_by_string{}, equal_by_string{},
                          node_pool_allocator<const record*>(nodes)};
    value_set value_map{initial_buckets, hash_by_value{key}, equal_by_value{},
                        node_pool_allocator<const record*>(nodes)};
    record_arena records;
};

atom_table::atom_table() : maps_(std::make_unique<maps>()) {
    maps_->string_map.max_load_factor(1.0f);
    maps_->value_map.max_load_factor(1.0f);
}

atom_table::~atom_table() = default;

std::size_t atom_table::size() const { return maps_->string_map.size(); }

void atom_table::reserve(std::size_t n) {
    try {
        maps_->string_map.reserve(n);
        maps_->value_map.reserve(n);
    } catch (const std::bad_alloc&) {
        // The maps grow as they fill instead; associate reports real failures.
    }
}

namespace {

template <class Set>
std::size_t longest_bucket(const Set& set) {
    std::size_t longest = 0;
    for (std::size_t b = 0; b < set.bucket_count(); ++b)
        longest = std::max(longest, set.bucket_size(b));
    return longest;
}

}  // namespace

table_shape atom_table::shape() const {
    return {maps_->string_map.bucket_count(), longest_bucket(maps_->string_map),
            maps_->value_map.bucket_count(), longest_bucket(maps_->value_map)};
}

std::optional<std::int32_t> atom_table::string_to_atom(std::string_view text) const {
    auto it = maps_->string_map.find(string_key{text, hash_string(maps_->key, text)});
    if (it == maps_->string_map.end()) return std::nullopt;
    return (*it)->value;
}

const _send_get_atom_msg* atom_table::atom_to_string(std::int32_t value) const {
    auto it = maps_->value_map.find(std::int64_t{value});
    return it == maps_->value_map.end() ? nullptr : *it;
}

association_result atom_table::associate(std::int32_t value, std::string_view text) {
    const string_key key{text, hash_string(maps_->key, text)};
    auto by_string = maps_->string_map.find(key);
    if (by_string != maps_->string_map.end()) {
        const record* found = *by_string;
        // The same pair again changes nothing.
        if (found->value == value) return {association_outcome::accepted};
        if (verbose) {
            trace(
                "Atom cache inconsistency, tried to associate string \"%.*s\" with value %d\n"
                "\tPrevious association was value %d\n",
                static_cast<int>(text.size()), text.data(), value, found->value);
        }
        return {association_outcome::refused, found};
    }
    auto by_value = maps_->value_map.find(std::int64_t{value});
    if (by_value != maps_->value_map.end()) {
        const record* found = *by_value;
        if (verbose) {
            trace(
                "Atom cache inconsistency, tried to associate value %d with string \"%.*s\"\n"
                "\tPrevious association was string \"%s\"\n",
                value, static_cast<int>(text.size()), text.data(), found->string);
        }
        return {association_outcome::refused, found};
    }
    return store(value, text, key.hash);
}

// Each step either succeeds or leaves its map as it was (a single insertion
// into an unordered set is all-or-nothing), so undoing the string map's entry
// when the value map's fails leaves the table unchanged, and the record made
// for a pair that could not be stored is given back.
association_result atom_table::store(std::int32_t value, std::string_view text,
                                     std::uint32_t hash) {
    const record* made = nullptr;
    bool in_string_map = false;
    try {
        made = maps_->records.make(value, text, hash);
        maps_->string_map.insert(made);
        in_string_map = true;
        maps_->value_map.insert(made);
    } catch (const std::bad_alloc&) {
        if (in_string_map) maps_->string_map.erase(made);
        if (made != nullptr) maps_->records.unmake_last(made);
        ++unstored.count;
        unstored.reason = "out of memory";
        return {association_outcome::not_stored};
    }
    // The table holds only what the keeper holds: a pair it could not keep
    // must not be found by the next lookup.
    if (keeper) {
        if (const char* failure = keeper(value, text)) {
            maps_->string_map.erase(made);
            maps_->value_map.erase(made);
            maps_->records.unmake_last(made);
            ++unstored.count;
            unstored.reason = failure;
            return {association_outcome::not_stored};
        }
    }
    return {association_outcome::accepted};
}
