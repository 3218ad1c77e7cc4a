#include "atoms/table_memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// Blocks grow from 64 KiB to 2 MiB; those of 2 MiB and more are mapped on
// their own, aligned, and marked for huge pages: at a million atoms a lookup
// is a chain of cache misses scattered over some 80 MiB, and with 4 KiB pages
// each of them would be a TLB miss as well.
constexpr std::size_t huge_page = 2 * 1024 * 1024;
constexpr std::size_t first_block = 64 * 1024;

}  // namespace

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

bump_arena::~bump_arena() {
    for (const auto& [block, bytes] : blocks_) release_block(block, bytes);
}

void* bump_arena::take(std::size_t bytes, std::size_t alignment) {
    std::size_t offset = (used_ + alignment - 1) & ~(alignment - 1);
    if (offset + bytes > size_) {
        std::size_t size = blocks_.empty() ? first_block : std::min(size_ * 2, huge_page);
        while (size < bytes) size *= 2;
        // Room for the block's entry first, so that a block once had is
        // always released.
        blocks_.reserve(blocks_.size() + 1);
        blocks_.emplace_back(allocate_block(size), size);
        current_ = static_cast<char*>(blocks_.back().first);
        size_ = size;
        offset = 0;
    }
    used_ = offset + bytes;
    return current_ + offset;
}

void bump_arena::give_back_from(const void* piece) noexcept {
    const char* p = static_cast<const char*>(piece);
    if (current_ == nullptr || p < current_ || p > current_ + used_) return;
    used_ = static_cast<std::size_t>(p - current_);
}

void* node_pool::take(std::size_t bytes, std::size_t alignment) {
    if (free_list_ != nullptr && bytes == free_node_bytes_) {
        free_node* node = free_list_;
        free_list_ = node->next;
        return node;
    }
    return arena_.take(bytes, alignment);
}

// The maps have one node type, so one free list serves. A node of another
// size is left in the arena, which releases it with the table.
void node_pool::give_back(void* node, std::size_t bytes) noexcept {
    if (free_list_ == nullptr) free_node_bytes_ = bytes;
    if (bytes != free_node_bytes_) return;
    auto* freed = static_cast<free_node*>(node);
    freed->next = free_list_;
    free_list_ = freed;
}

_send_get_atom_msg* record_arena::make(std::int32_t value, std::string_view text,
                                       std::uint32_t hash) {
    auto* r = static_cast<_send_get_atom_msg*>(
        arena_.take(sizeof(_send_get_atom_msg), alignof(_send_get_atom_msg)));
    auto* copy = static_cast<char*>(arena_.take(text.size() + 1, 1));
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    *r = _send_get_atom_msg{copy, value, hash};
    return r;
}

// The string follows its record, in the same block unless the record filled
// the one before; then only the string's block is the current one.
void record_arena::unmake_last(const _send_get_atom_msg* r) noexcept {
    arena_.give_back_from(r);
    arena_.give_back_from(r->string);
}
