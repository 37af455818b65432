// Per-thread caches of freed small blocks for the two objects that every
// statement allocates and frees: tree nodes and shared values.
//
// A block freed on a thread goes to that thread's cache (whichever thread
// allocated it) and is handed out again by the next allocation of the same
// size there. Caches are bounded; a full cache frees to the system. New
// blocks always come from the global operator new, so allocation failure
// and accounting hooks still see every fresh allocation.
#pragma once

#include <cstddef>

namespace velk {

// Blocks a thread's cache keeps at most, per block size.
inline constexpr std::size_t kBlockCacheLimit = std::size_t{1} << 16;

// A block of exactly `size` bytes (a size that a pool serves, see
// block_pool.cpp); throws std::bad_alloc.
void* allocate_block(std::size_t size);
void free_block(void* p, std::size_t size) noexcept;

// False in builds that pass every block straight to the system (sanitizer
// and fault-injection builds), where nothing is cached.
bool block_caches_enabled() noexcept;

// Returns every block cached by the calling thread to the system (for leak
// accounting in tests; caches are also emptied when a thread ends).
void release_cached_blocks() noexcept;

}  // namespace velk
