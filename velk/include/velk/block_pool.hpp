// Where the small blocks that every statement allocates and frees come
// from: tree nodes, short statement lists, shared values and short texts.
//
// Tree blocks are laid side by side: a thread takes them one after the other
// from a chunk of its own, so the nodes it builds in a row lie in a row
// whatever was allocated and freed before, and a run over them reads memory
// in order. A chunk goes back whole once every block it handed out is freed,
// on whichever thread; until then one live block keeps its whole chunk
// (kTreeChunkBytes), which bounds what a tree that is mostly dropped can pin.
//
// Shared values, and the buffers of their short texts, instead go to
// per-thread caches of freed blocks, one per size, handed out again by the
// next allocation of that size. Caches are bounded; a full cache frees to the
// system. Chunks and new value blocks always come
// from the global operator new, so allocation failure and accounting hooks
// still see every fresh allocation.
#pragma once

#include <cstddef>
#include <new>

namespace velk {

// Bytes of freed value and line blocks one thread's caches keep at most,
// all sizes together (tree blocks go back to their chunks instead).
inline constexpr std::size_t kBlockCacheBudget = std::size_t{32} << 20;

// Bytes of one chunk of tree blocks, aligned to its size.
inline constexpr std::size_t kTreeChunkBytes = std::size_t{16} << 10;

// A tree block of at least `size` bytes; throws std::bad_alloc. A block goes
// back with the same size, to the same family of functions.
void* allocate_tree_block(std::size_t size);
void free_tree_block(void* p, std::size_t size) noexcept;

// The same for shared values, from the caches: a value made on one thread is
// often released on another and may outlive its tree by far (a variable
// holds it), so values stay out of the chunks.
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
// and fault-injection builds): no chunks, no caches.
bool blocks_pooled() noexcept;

// Bytes of blocks the calling thread's caches hold now, spare chunks included.
std::size_t cached_block_bytes() noexcept;

// Returns every block cached by the calling thread to the system, with its
// spare chunks; its current chunk goes back once its blocks are freed (for
// leak accounting in tests; the same happens when a thread ends).
void release_cached_blocks() noexcept;

// For tests: calls `observer` with every tree block freed, with its size,
// until set to null. Not for concurrent use.
void observe_tree_block_frees(void (*observer)(const void*, std::size_t)) noexcept;

// A standard allocator over the tree blocks, for statement lists, which
// lie beside the nodes they hold.
template <class T>
struct TreeBlockAllocator {
    using value_type = T;

    TreeBlockAllocator() noexcept = default;
    template <class U>
    TreeBlockAllocator(const TreeBlockAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(allocate_tree_block(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { free_tree_block(p, n * sizeof(T)); }

    template <class U>
    friend bool operator==(const TreeBlockAllocator&, const TreeBlockAllocator<U>&) noexcept {
        return true;
    }
};

}  // namespace velk
