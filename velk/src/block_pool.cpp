// Per-thread free lists of small blocks, one list per 8-byte size class.
#include "velk/block_pool.hpp"

#include <new>

namespace velk {

namespace {

#ifdef VELK_NO_POOL
constexpr bool kPooling = false;  // sanitizer and fault-injection builds
#else
constexpr bool kPooling = true;
#endif

constexpr std::size_t kGranule = 8;                  // size classes step by this
constexpr std::size_t kClasses = 16;                 // so blocks of up to 128 bytes are pooled
constexpr std::size_t kLargestPooled = kGranule * kClasses;
static_assert(kGranule >= sizeof(void*), "a free block holds the link to the next one");

struct FreeBlock {
    FreeBlock* next;  // the next cached block of the same class
};

struct Cache {
    FreeBlock* head;    // most recently freed block
    std::size_t count;  // blocks on the list
};

// One thread_local object, so each call pays for one thread-local lookup.
// Trivially destructible, so it stays usable while the thread's other
// thread_local objects are destroyed; `closed` then sends frees straight to
// the system.
struct ThreadCaches {
    Cache classes[kClasses];  // free lists by size class
    bool closed;              // the thread is ending: cache nothing more
    bool closer_armed;        // the thread-exit cleanup is registered
};
thread_local ThreadCaches t_state;

struct Closer {
    ~Closer() {
        release_cached_blocks();
        t_state.closed = true;
    }
};
thread_local Closer t_closer;

std::size_t class_of(std::size_t size) noexcept { return (size + kGranule - 1) / kGranule - 1; }
std::size_t class_size(std::size_t c) noexcept { return (c + 1) * kGranule; }

}  // namespace

bool block_caches_enabled() noexcept { return kPooling; }

void* allocate_block(std::size_t size) {
    if (kPooling && size != 0 && size <= kLargestPooled) {
        const std::size_t c = class_of(size);
        Cache& cache = t_state.classes[c];
        if (FreeBlock* b = cache.head) {
            cache.head = b->next;
            --cache.count;
            return b;
        }
        return ::operator new(class_size(c));
    }
    return ::operator new(size);
}

void free_block(void* p, std::size_t size) noexcept {
    if (p == nullptr) return;
    if (kPooling && size != 0 && size <= kLargestPooled) {
        const std::size_t c = class_of(size);
        ThreadCaches& state = t_state;
        Cache& cache = state.classes[c];
        if (!state.closed && cache.count < kBlockCacheLimit) {
            if (!state.closer_armed) {
                state.closer_armed = true;
                (void)&t_closer;  // first use on this thread: empties the caches at thread exit
            }
            auto* b = static_cast<FreeBlock*>(p);
            b->next = cache.head;
            cache.head = b;
            ++cache.count;
            return;
        }
        ::operator delete(p, class_size(c));
        return;
    }
    ::operator delete(p, size);
}

void release_cached_blocks() noexcept {
    ThreadCaches& state = t_state;
    for (std::size_t c = 0; c < kClasses; ++c) {
        Cache& cache = state.classes[c];
        while (FreeBlock* b = cache.head) {
            cache.head = b->next;
            ::operator delete(b, class_size(c));
        }
        cache.count = 0;
    }
}

}  // namespace velk
