#include "atoms/atom_table.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <unordered_set>
#include <vector>

namespace {

// The table's memory comes in blocks that are never returned while the table
// lives. Blocks grow from 64 KiB to 2 MiB; those of 2 MiB and more are mapped
// on their own, aligned, and marked for huge pages: at a million atoms a
// lookup is a chain of cache misses scattered over some 80 MiB, and with
// 4 KiB pages each of them would be a TLB miss as well.
constexpr std::size_t huge_page = 2 * 1024 * 1024;
constexpr std::size_t first_block = 64 * 1024;

void* allocate_block(std::size_t bytes) {
    if (bytes < huge_page) return ::operator new(bytes);
    const std::size_t mapped = bytes + huge_page;
    void* raw = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + huge_page - 1) & ~(huge_page - 1);
    // The unaligned ends are never touched, so they cost no memory; unmapping
    // them only tidies the address space, and a failure there is harmless.
    if (aligned > start) (void)::munmap(raw, aligned - start);
    if (const std::uintptr_t tail = start + mapped - (aligned + bytes); tail > 0) {
        (void)::munmap(reinterpret_cast<void*>(aligned + bytes), tail);
    }
    // Only a hint: without huge pages the block works the same, more slowly.
    (void)::madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void release_block(void* block, std::size_t bytes) noexcept {
    if (bytes < huge_page) {
        ::operator delete(block);
        return;
    }
    (void)::munmap(block, bytes);  // nothing to be done if it fails
}

// Hands out pieces of growing blocks; nothing is freed piece by piece.
class bump_arena {
public:
    bump_arena() = default;
    bump_arena(const bump_arena&) = delete;
    bump_arena& operator=(const bump_arena&) = delete;
    ~bump_arena() {
        for (const auto& [block, bytes] : blocks_) release_block(block, bytes);
    }

    void* take(std::size_t bytes, std::size_t alignment) {
        std::size_t offset = (used_ + alignment - 1) & ~(alignment - 1);
        if (offset + bytes > size_) {
            std::size_t size = blocks_.empty() ? first_block : std::min(size_ * 2, huge_page);
            while (size < bytes) size *= 2;
            blocks_.emplace_back(allocate_block(size), size);
            current_ = static_cast<char*>(blocks_.back().first);
            size_ = size;
            offset = 0;
        }
        used_ = offset + bytes;
        return current_ + offset;
    }

private:
    std::vector<std::pair<void*, std::size_t>> blocks_;
    char* current_ = nullptr;
    std::size_t size_ = 0;
    std::size_t used_ = 0;
};

// Hash-map nodes are all the same small size and are never freed while the
// table lives, so they come from blocks instead of one malloc each: a
// malloc'd node would carry as much bookkeeping as payload. Freed nodes (only
// when a table is destroyed) go onto a free list for the next table. Bucket
// arrays are whole blocks.
template <class T>
struct node_pool_allocator {
    using value_type = T;

    node_pool_allocator() noexcept = default;
    template <class U>
    node_pool_allocator(const node_pool_allocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n != 1) return static_cast<T*>(allocate_block(n * sizeof(T)));
        if (free_list != nullptr) {
            free_slot* slot = free_list;
            free_list = slot->next;
            return reinterpret_cast<T*>(slot);
        }
        return static_cast<T*>(nodes().take(sizeof(slot_storage), alignof(slot_storage)));
    }

    void deallocate(T* p, std::size_t n) noexcept {
        if (n != 1) {
            release_block(p, n * sizeof(T));
            return;
        }
        auto* slot = reinterpret_cast<free_slot*>(p);
        slot->next = free_list;
        free_list = slot;
    }

    template <class U>
    bool operator==(const node_pool_allocator<U>&) const noexcept {
        return true;
    }

private:
    struct free_slot {
        free_slot* next;
    };
    union slot_storage {
        alignas(T) unsigned char bytes[sizeof(T)];
        free_slot link;
    };
    // Shared by every table and kept for the life of the process.
    static bump_arena& nodes() {
        static bump_arena* arena = new bump_arena;
        return *arena;
    }
    static inline free_slot* free_list = nullptr;
};

using record = _send_get_atom_msg;

std::uint32_t hash_string(std::string_view text) {
    return static_cast<std::uint32_t>(std::hash<std::string_view>{}(text));
}

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

struct hash_by_value {
    using is_transparent = void;
    std::size_t operator()(const record* r) const noexcept {
        return static_cast<std::size_t>(std::int64_t{r->value});
    }
    std::size_t operator()(std::int64_t v) const noexcept { return static_cast<std::size_t>(v); }
};

struct equal_by_value {
    using is_transparent = void;
    bool operator()(const record* a, const record* b) const noexcept { return a == b; }
    bool operator()(std::int64_t v, const record* r) const noexcept { return v == r->value; }
    bool operator()(const record* r, std::int64_t v) const noexcept { return v == r->value; }
};

// Records and their strings come from an arena owned by the table, each
// string right after its record so that one cache line usually holds both.
class record_arena {
public:
    record* make(std::int32_t value, std::string_view text, std::uint32_t hash) {
        auto* r = static_cast<record*>(arena_.take(sizeof(record), alignof(record)));
        auto* copy = static_cast<char*>(arena_.take(text.size() + 1, 1));
        std::memcpy(copy, text.data(), text.size());
        copy[text.size()] = '\0';
        *r = record{copy, value, hash};
        return r;
    }

private:
    bump_arena arena_;
};

}  // namespace

struct atom_table::maps {
    std::unordered_set<const record*, hash_by_string, equal_by_string,
                       node_pool_allocator<const record*>>
        string_map;
    std::unordered_set<const record*, hash_by_value, equal_by_value,
                       node_pool_allocator<const record*>>
        value_map;
    record_arena records;
};

atom_table::atom_table() : maps_(std::make_unique<maps>()) {
    maps_->string_map.max_load_factor(1.0f);
    maps_->value_map.max_load_factor(1.0f);
}

atom_table::~atom_table() = default;

std::size_t atom_table::size() const { return maps_->string_map.size(); }

std::optional<std::int32_t> atom_table::string_to_atom(std::string_view text) const {
    auto it = maps_->string_map.find(string_key{text, hash_string(text)});
    if (it == maps_->string_map.end()) return std::nullopt;
    return (*it)->value;
}

const _send_get_atom_msg* atom_table::atom_to_string(std::int32_t value) const {
    auto it = maps_->value_map.find(std::int64_t{value});
    return it == maps_->value_map.end() ? nullptr : *it;
}

namespace {

void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Traces are followed as they happen, so each one is flushed at once.
void trace(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

}  // namespace

const _send_get_atom_msg* atom_table::associate(std::int32_t value, std::string_view text) {
    const string_key key{text, hash_string(text)};
    auto by_string = maps_->string_map.find(key);
    if (by_string != maps_->string_map.end()) {
        const record* found = *by_string;
        if (found->value == value) return nullptr;  // the same pair again changes nothing
        if (verbose) {
            trace(
                "Atom cache inconsistency, tried to associate string \"%.*s\" with value %d\n"
                "\tPrevious association was value %d\n",
                static_cast<int>(text.size()), text.data(), value, found->value);
        }
        return found;
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
        return found;
    }
    const record* made = maps_->records.make(value, text, key.hash);
    maps_->string_map.insert(made);
    maps_->value_map.insert(made);
    return nullptr;
}

namespace {

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
    std::vsnprintf(reply, max_reply_length, format, args);
    va_end(args);
}

void do_string_to_atom(atom_table& table, const char* text, char* reply) {
    if (table.verbose) trace("Doing a string_to_atom\n");
    format_reply(reply, "N%d", table.string_to_atom(text).value_or(-1));
    if (table.verbose) trace("Sending %s\n", reply);
}

void do_atom_to_string(atom_table& table, const char* text, char* reply) {
    std::int32_t value = 0;
    if (read_number(text, value) == nullptr) return;
    if (table.verbose) trace("Doing a atom_to_string\n");
    const record* found = table.atom_to_string(value);
    // "S" and up to 99 characters of the string: the one reply that may use
    // all 100 characters.
    reply[0] = 'S';
    const std::size_t length =
        found == nullptr ? 0 : ::strnlen(found->string, max_reply_length - 1);
    if (length > 0) std::memcpy(reply + 1, found->string, length);
    reply[1 + length] = '\0';
    if (table.verbose) trace("Sending %s\n", reply);
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
    const record* conflict = table.associate(value, end + 1);
    if (conflict == nullptr) return;
    format_reply(reply, "E%d %s", conflict->value, conflict->string);
    if (table.verbose) trace("Sending %s\n", reply);
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
            if (table.verbose) trace("Sending %c\n", 'R');
            reply[0] = 'R';
            reply[1] = '\0';
            return;
        default:
            return;
    }
}
