// The test programs' own allocation under their replaced operator new: one
// pair that serves every alignment and frees every block alike.
// std::aligned_alloc is missing on Windows, whose aligned blocks must go
// back through _aligned_free; there every block is an aligned one.
#pragma once

#include <cstddef>
#include <cstdlib>
#if defined(_WIN32)
#include <malloc.h>
#endif

namespace velk::test_memory {

// A block of `n` bytes (at least 1) aligned to `align` (0: the default), or
// null.
inline void* allocate(std::size_t n, std::size_t align) noexcept {
    if (n == 0) n = 1;
    if (align < alignof(std::max_align_t)) align = alignof(std::max_align_t);
#if defined(_WIN32)
    return _aligned_malloc(n, align);
#else
    if (align == alignof(std::max_align_t)) return std::malloc(n);
    return std::aligned_alloc(align, (n + align - 1) / align * align);
#endif
}

inline void release(void* p) noexcept {
#if defined(_WIN32)
    _aligned_free(p);
#else
    std::free(p);
#endif
}

}  // namespace velk::test_memory
