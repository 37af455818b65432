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
// Caches by use: tree nodes (0) and shared values (1).
enum Use : std::size_t { kTree = 0, kValue = 1, kUses = 2 };
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
// Line-aligned blocks (the store's shard arrays and tables) have caches of
// their own, one per whole number of cache lines up to kLargestLineBlock:
// a fresh machine per request then takes its storage from them instead of
// the system's aligned allocator.
constexpr std::size_t kLargestLineBlock = kLineBytes * 64;
constexpr std::size_t kLineClasses = kLargestLineBlock / kLineBytes;

struct ThreadCaches {
    Cache classes[kUses * kClasses];  // by use, then size class
    Cache lines[kLineClasses];        // line-aligned blocks, by size in lines
    std::size_t room_bytes;   // blocks all arrays can hold, in bytes: at most the budget
    bool closed;              // the thread has ended: cache nothing more
};

// What a thread's pointer holds once its caches are gone at thread exit:
// no room, so every free takes the slow path, which sees `closed`.
ThreadCaches g_closed{{}, {}, 0, true};

[[gnu::tls_model("initial-exec")]] thread_local ThreadCaches* t_caches = nullptr;

struct Closer {
    ~Closer() {
        release_cached_blocks();
        std::free(static_cast<void*>(std::exchange(t_caches, &g_closed)));
    }
};
thread_local Closer t_closer;

// A cache's index: the size class, offset by the use.
constexpr std::size_t class_of(std::size_t size, Use use) noexcept {
    return use * kClasses + (size + kGranule - 1) / kGranule - 1;
}
constexpr std::size_t class_size(std::size_t c) noexcept { return (c % kClasses + 1) * kGranule; }

// A size the caches serve: 1 to kLargestPooled bytes (0 wraps around).
constexpr bool pooled(std::size_t size) noexcept { return kPooling && size - 1 < kLargestPooled; }

// Lengthens a full cache's array while the bytes that all arrays' blocks
// could hold stay within the budget; leaves it full when that cannot be.
// The array comes from malloc, being the pool's own bookkeeping rather than
// a block.
void grow(ThreadCaches& state, Cache& cache, std::size_t block_bytes) noexcept {
    const std::size_t spare = (kBlockCacheBudget - state.room_bytes) / block_bytes;
    std::size_t more = cache.capacity ? cache.capacity : kFirstCapacity;
    if (more > spare) more = spare;
    if (more == 0) return;
    void* grown = std::realloc(static_cast<void*>(cache.blocks), (cache.capacity + more) * sizeof(void*));
    if (!grown) return;
    cache.blocks = static_cast<void**>(grown);
    cache.capacity += more;
    state.room_bytes += more * block_bytes;
}

// The calling thread's caches, made at its first cached free; null when
// they cannot be made or the thread has ended.
ThreadCaches* open_caches() noexcept {
    ThreadCaches* state = t_caches;
    if (!state) {
        state = static_cast<ThreadCaches*>(std::calloc(1, sizeof(ThreadCaches)));
        if (!state) return nullptr;
        (void)&t_closer;  // registers the thread-exit cleanup
        t_caches = state;
    }
    return state->closed ? nullptr : state;
}

// Keeps `p` in `cache` if there is room or it can be made within the budget.
bool keep(ThreadCaches& state, Cache& cache, void* p, std::size_t block_bytes) noexcept {
    if (cache.count == cache.capacity) grow(state, cache, block_bytes);
    if (cache.count == cache.capacity) return false;
    cache.blocks[cache.count++] = p;
    return true;
}

// A free that finds no room in the cache: the thread's first, a full
// array, a thread that has ended.
[[gnu::noinline]] void free_slow(void* p, std::size_t c) noexcept {
    ThreadCaches* state = open_caches();
    if (state && keep(*state, state->classes[c], p, class_size(c))) return;
    ::operator delete(p, class_size(c));
}

}  // namespace

bool block_caches_enabled() noexcept { return kPooling; }

namespace {

template <Use use>
void* allocate_from_cache(std::size_t size) {
    if (pooled(size)) {
        const std::size_t c = class_of(size, use);
        if (ThreadCaches* state = t_caches) {
            Cache& cache = state->classes[c];
            if (cache.count != 0) return cache.blocks[--cache.count];
        }
        return ::operator new(class_size(c));
    }
    return ::operator new(size);
}

template <Use use>
void free_to_cache(void* p, std::size_t size) noexcept {
    if (p == nullptr) return;
    if (pooled(size)) {
        const std::size_t c = class_of(size, use);
        if (ThreadCaches* state = t_caches) {
            Cache& cache = state->classes[c];
            if (cache.count < cache.capacity) {
                cache.blocks[cache.count++] = p;
                return;
            }
        }
        return free_slow(p, c);
    }
    ::operator delete(p, size);
}

}  // namespace

void* allocate_block(std::size_t size) { return allocate_from_cache<kTree>(size); }
void free_block(void* p, std::size_t size) noexcept { free_to_cache<kTree>(p, size); }
void* allocate_value_block(std::size_t size) { return allocate_from_cache<kValue>(size); }
void free_value_block(void* p, std::size_t size) noexcept { free_to_cache<kValue>(p, size); }

namespace {

constexpr bool line_pooled(std::size_t size) noexcept {
    return kPooling && size - 1 < kLargestLineBlock && size % kLineBytes == 0;
}

}  // namespace

void* allocate_line_block(std::size_t size) {
    if (line_pooled(size)) {
        if (ThreadCaches* state = t_caches) {
            Cache& cache = state->lines[size / kLineBytes - 1];
            if (cache.count != 0) return cache.blocks[--cache.count];
        }
    }
    return ::operator new(size, std::align_val_t{kLineBytes});
}

void free_line_block(void* p, std::size_t size) noexcept {
    if (p == nullptr) return;
    if (line_pooled(size)) {
        ThreadCaches* state = open_caches();
        if (state && keep(*state, state->lines[size / kLineBytes - 1], p, size)) return;
    }
    ::operator delete(p, size, std::align_val_t{kLineBytes});
}

std::size_t cached_block_bytes() noexcept {
    const ThreadCaches* state = t_caches;
    std::size_t bytes = 0;
    if (state) {
        for (std::size_t c = 0; c < kUses * kClasses; ++c) bytes += state->classes[c].count * class_size(c);
        for (std::size_t c = 0; c < kLineClasses; ++c) bytes += state->lines[c].count * (c + 1) * kLineBytes;
    }
    return bytes;
}

void release_cached_blocks() noexcept {
    ThreadCaches* state = t_caches;
    if (!state || state->closed) return;
    for (std::size_t c = 0; c < kUses * kClasses; ++c) {
        Cache& cache = state->classes[c];
        while (cache.count != 0) ::operator delete(cache.blocks[--cache.count], class_size(c));
        std::free(static_cast<void*>(cache.blocks));
        cache = Cache{};
    }
    for (std::size_t c = 0; c < kLineClasses; ++c) {
        Cache& cache = state->lines[c];
        const std::size_t bytes = (c + 1) * kLineBytes;
        while (cache.count != 0) ::operator delete(cache.blocks[--cache.count], bytes, std::align_val_t{kLineBytes});
        std::free(static_cast<void*>(cache.blocks));
        cache = Cache{};
    }
    state->room_bytes = 0;
}

}  // namespace velk
