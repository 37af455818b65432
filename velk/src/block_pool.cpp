// Per-thread caches of small blocks, one per 8-byte size class.
//
// A cache is an array of block addresses rather than a list threaded
// through the blocks: taking a block then reads the array, which is warm,
// instead of the block's first word, which after a large run is usually
// far out of cache.
#include "velk/block_pool.hpp"

#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

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
constexpr std::size_t kFirstCapacity = 64;           // addresses in a cache's first array

struct Cache {
    void** blocks;          // cached blocks, the most recently freed last
    std::size_t count;      // blocks cached
    std::size_t capacity;   // room in `blocks`
};

// A thread's caches live on the heap, made at its first cached free; the
// thread-local part is one pointer in the initial-exec model, so that every
// allocation and free reads it directly instead of calling the dynamic TLS
// resolver (the module is a shared library).
struct ThreadCaches {
    Cache classes[kClasses];  // by size class
    std::size_t bytes;        // bytes of all cached blocks
    bool closed;              // the thread has ended: cache nothing more
};

// What a thread's pointer holds once its caches are gone at thread exit:
// nothing cached, nothing taken.
ThreadCaches g_closed{{}, 0, true};

[[gnu::tls_model("initial-exec")]] thread_local ThreadCaches* t_caches = nullptr;

struct Closer {
    ~Closer() {
        release_cached_blocks();
        std::free(static_cast<void*>(std::exchange(t_caches, &g_closed)));
    }
};
thread_local Closer t_closer;

// The calling thread's caches, made on first use; null when they cannot be
// made now.
ThreadCaches* open_caches() noexcept {
    if (ThreadCaches* s = t_caches) return s;
    auto* s = static_cast<ThreadCaches*>(std::calloc(1, sizeof(ThreadCaches)));
    if (!s) return nullptr;
    (void)&t_closer;  // registers the thread-exit cleanup
    t_caches = s;
    return s;
}

std::size_t class_of(std::size_t size) noexcept { return (size + kGranule - 1) / kGranule - 1; }
std::size_t class_size(std::size_t c) noexcept { return (c + 1) * kGranule; }

// Makes room for one more address; false when the array cannot grow. The
// arrays come from malloc: they are the pool's own bookkeeping, not blocks.
bool reserve_one(Cache& cache) noexcept {
    if (cache.count < cache.capacity) return true;
    const std::size_t capacity = cache.capacity ? cache.capacity * 2 : kFirstCapacity;
    void* grown = std::realloc(static_cast<void*>(cache.blocks), capacity * sizeof(void*));
    if (!grown) return false;
    cache.blocks = static_cast<void**>(grown);
    cache.capacity = capacity;
    return true;
}

}  // namespace

bool block_caches_enabled() noexcept { return kPooling; }

void* allocate_block(std::size_t size) {
    if (kPooling && size != 0 && size <= kLargestPooled) {
        const std::size_t c = class_of(size);
        if (ThreadCaches* state = t_caches) {
            Cache& cache = state->classes[c];
            if (cache.count != 0) {
                state->bytes -= class_size(c);
                return cache.blocks[--cache.count];
            }
        }
        return ::operator new(class_size(c));
    }
    return ::operator new(size);
}

void free_block(void* p, std::size_t size) noexcept {
    if (p == nullptr) return;
    if (kPooling && size != 0 && size <= kLargestPooled) {
        const std::size_t c = class_of(size);
        ThreadCaches* state = open_caches();
        if (state && !state->closed && state->bytes + class_size(c) <= kBlockCacheBudget &&
            reserve_one(state->classes[c])) {
            Cache& cache = state->classes[c];
            cache.blocks[cache.count++] = p;
            state->bytes += class_size(c);
            return;
        }
        ::operator delete(p, class_size(c));
        return;
    }
    ::operator delete(p, size);
}

std::size_t cached_block_bytes() noexcept {
    const ThreadCaches* state = t_caches;
    return state ? state->bytes : 0;
}

void release_cached_blocks() noexcept {
    ThreadCaches* state = t_caches;
    if (!state || state->closed) return;
    for (std::size_t c = 0; c < kClasses; ++c) {
        Cache& cache = state->classes[c];
        while (cache.count != 0) ::operator delete(cache.blocks[--cache.count], class_size(c));
        std::free(static_cast<void*>(cache.blocks));
        cache = Cache{};
    }
    state->bytes = 0;
}

}  // namespace velk
