// Per-thread caches of freed small blocks for the objects that every
// statement allocates and frees: tree nodes, short statement lists and
// shared values.
//
// A block freed on a thread goes to that thread's cache (whichever thread
// allocated it) and is handed out again by the next allocation of the same
// size there. Caches are bounded; a full cache frees to the system. New
// blocks always come from the global operator new, so allocation failure
// and accounting hooks still see every fresh allocation.
#pragma once

#include <cstddef>
#include <new>

namespace velk {

// Bytes of blocks one thread's caches keep at most, all sizes together:
// enough for the nodes of a run of some 100,000 statements.
inline constexpr std::size_t kBlockCacheBudget = std::size_t{32} << 20;

// A block of exactly `size` bytes (a size that a pool serves, see
// block_pool.cpp); throws std::bad_alloc. A block goes back with the same
// size, to the same family of functions.
void* allocate_block(std::size_t size);
void free_block(void* p, std::size_t size) noexcept;

// The same for shared values, which have caches of their own: tree nodes
// are made and released on one thread, but a value made on one thread is
// often released on another, and mixing the two would scatter the nodes a
// thread builds across memory.
void* allocate_value_block(std::size_t size);
void free_value_block(void* p, std::size_t size) noexcept;

// Bytes of a cache line: blocks that threads must not share a line through
// (the store's shards and tables) start and end on line boundaries.
inline constexpr std::size_t kLineBytes = 64;

// A block of `size` bytes, a whole number of lines, aligned to a line;
// throws std::bad_alloc. It goes back with the same size to free_line_block.
void* allocate_line_block(std::size_t size);
void free_line_block(void* p, std::size_t size) noexcept;

// False in builds that pass every block straight to the system (sanitizer
// and fault-injection builds), where nothing is cached.
bool block_caches_enabled() noexcept;

// Bytes of blocks the calling thread's caches hold now.
std::size_t cached_block_bytes() noexcept;

// Returns every block cached by the calling thread to the system (for leak
// accounting in tests; caches are also emptied when a thread ends).
void release_cached_blocks() noexcept;

// A standard allocator over the block caches, for containers whose storage
// is often small and short-lived (the statement lists of a run).
template <class T>
struct BlockAllocator {
    using value_type = T;

    BlockAllocator() noexcept = default;
    template <class U>
    BlockAllocator(const BlockAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(allocate_block(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { free_block(p, n * sizeof(T)); }

    template <class U>
    friend bool operator==(const BlockAllocator&, const BlockAllocator<U>&) noexcept {
        return true;
    }
};

}  // namespace velk
