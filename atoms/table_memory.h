// Where the atom table's memory comes from. Nothing the table holds is freed
// while it lives, so everything comes from large blocks carved up in order,
// and all of it goes back at once when the table is destroyed.
//
// A lookup by string walks: the string map's bucket slot -> its hash node ->
// the record -> the string, which sits right after its record. A lookup by
// value walks the value map's slot -> node -> record. What one atom costs at a
// million atoms (about 91 resident bytes in all, as table_bench measures):
//
//   bucket slots   2 x 8 bytes, a little more: the bucket count is the prime
//                  just above the atom count (load factor 1.0)
//   hash nodes     2 x 16 bytes (next pointer, record pointer)
//   record         16 bytes (string pointer, value, the string's hash)
//   string         its bytes and the zero byte, the next record aligned to 8
//   slack          the unused ends of blocks, and bucket arrays rounded up to
//                  whole 2 MiB pages
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "atoms/atom_table.h"

// A block of at least bytes; large ones are mapped on their own and marked
// for huge pages. Throws std::bad_alloc when no memory is left.
void* allocate_block(std::size_t bytes);
void release_block(void* block, std::size_t bytes) noexcept;

// Hands out pieces of growing blocks; nothing is freed piece by piece.
class bump_arena {
public:
    bump_arena() = default;
    bump_arena(const bump_arena&) = delete;
    bump_arena& operator=(const bump_arena&) = delete;
    ~bump_arena();

    // Throws std::bad_alloc when no block can be had.
    void* take(std::size_t bytes, std::size_t alignment);
    // Forgets everything taken from piece on, when piece lies in the block
    // pieces are taken from now; otherwise nothing.
    void give_back_from(const void* piece) noexcept;

private:
    std::vector<std::pair<void*, std::size_t>> blocks_;
    char* current_ = nullptr;
    std::size_t size_ = 0;
    std::size_t used_ = 0;
};

// The hash nodes of one table. They are all the same small size and live as
// long as the table, so they come from blocks instead of one malloc each: a
// malloc'd node would carry as much bookkeeping as payload. A node given back
// (only while a map is torn down, or an insertion is undone) is reused for
// the next node of the same size.
class node_pool {
public:
    void* take(std::size_t bytes, std::size_t alignment);
    void give_back(void* node, std::size_t bytes) noexcept;

private:
    struct free_node {
        free_node* next;
    };
    bump_arena arena_;
    std::size_t free_node_bytes_ = 0;  // the size of the nodes on the free list
    free_node* free_list_ = nullptr;
};

// The maps' allocator: single nodes from the table's node_pool, bucket arrays
// as blocks of their own.
template <class T>
struct node_pool_allocator {
    using value_type = T;

    explicit node_pool_allocator(node_pool& pool) noexcept : pool_(&pool) {}
    template <class U>
    node_pool_allocator(const node_pool_allocator<U>& other) noexcept : pool_(other.pool_) {}

    T* allocate(std::size_t n) {
        if (n != 1) return static_cast<T*>(allocate_block(n * sizeof(T)));
        return static_cast<T*>(pool_->take(node_size, node_alignment));
    }

    void deallocate(T* p, std::size_t n) noexcept {
        if (n != 1) return release_block(p, n * sizeof(T));
        pool_->give_back(p, node_size);
    }

    template <class U>
    bool operator==(const node_pool_allocator<U>& other) const noexcept {
        return pool_ == other.pool_;
    }

private:
    template <class U>
    friend struct node_pool_allocator;
    // A node given back holds the free list's link in its first bytes.
    static constexpr std::size_t node_size = sizeof(T) < sizeof(void*) ? sizeof(void*) : sizeof(T);
    static constexpr std::size_t node_alignment =
        alignof(T) < alignof(void*) ? alignof(void*) : alignof(T);

    node_pool* pool_;
};

// The table's records, each with its string right after it so that one cache
// line usually holds both.
class record_arena {
public:
    // Throws std::bad_alloc when no block can be had.
    _send_get_atom_msg* make(std::int32_t value, std::string_view text, std::uint32_t hash);
    // Gives back the record made last, which no map holds: pairs that cannot
    // be stored (a journal that cannot be written) may come by the million,
    // and must not each leave their bytes behind.
    void unmake_last(const _send_get_atom_msg* r) noexcept;

private:
    bump_arena arena_;
};
