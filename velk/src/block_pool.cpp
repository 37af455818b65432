// Tree blocks from per-thread chunks; per-thread caches of small value
// blocks, one per 8-byte size class; caches of line-aligned blocks.
//
// A cache is an array of block addresses rather than a list threaded
// through the blocks: taking a block then reads the array, which is warm,
// instead of the block's first word, which after a large run is usually
// far out of cache.
//
// A chunk counts its blocks in one atomic word, `live`: it starts at kOwned
// while its thread takes blocks from it, each free takes one away, and when
// the thread moves on to a new chunk it adds the blocks it took and removes
// kOwned. Whoever brings the word to zero gives the chunk back, so taking a
// block costs no atomic operation and freeing one costs one.
#include "velk/block_pool.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#include "tls_model.hpp"

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

// The head of a chunk of tree blocks, in a line of its own: frees on other
// threads write `live` while the blocks are read.
struct alignas(kLineBytes) Chunk {
    std::atomic<std::int64_t> live;  // blocks out, plus kOwned while its thread takes from it
    Chunk* next_spare;               // in a thread's list of spare chunks
};
constexpr std::int64_t kOwned = std::int64_t{1} << 62;
static_assert(kTreeChunkBytes % kLineBytes == 0 && (kTreeChunkBytes & (kTreeChunkBytes - 1)) == 0);
constexpr std::size_t kSpareChunks = 16;  // empty chunks a thread keeps for its next ones

struct Cache {
    void** blocks;          // cached blocks, the most recently freed last
    std::size_t count;      // blocks cached
    std::size_t capacity;   // room in `blocks`
};

// A thread's caches live on the heap, made at its first cached free or its
// first chunk; the thread-local part is one pointer in the initial-exec
// model, so that every allocation and free reads it directly instead of
// calling the dynamic TLS resolver (the module is a shared library).
// Line-aligned blocks (the store's shard arrays and tables) have caches of
// their own, one per whole number of cache lines up to kLargestLineBlock:
// a fresh machine per request then takes its storage from them instead of
// the system's aligned allocator.
constexpr std::size_t kLargestLineBlock = kLineBytes * 64;
constexpr std::size_t kLineClasses = kLargestLineBlock / kLineBytes;

struct ThreadCaches {
    Cache classes[kClasses];      // value blocks, by size class
    Cache lines[kLineClasses];    // line-aligned blocks, by size in lines
    std::size_t room_bytes;       // blocks all arrays can hold, in bytes: at most the budget
    char* next;                   // the next tree block of the current chunk
    char* end;                    // the current chunk's end (null: no chunk)
    std::int64_t taken;           // blocks taken from the current chunk
    Chunk* spares;                // empty chunks, kept for the next ones
    std::size_t spare_count;
    bool closed;                  // the thread has ended: cache nothing more
};

// What a thread's pointer holds once its caches are gone at thread exit:
// no room and no chunk, so every allocation and free takes the slow path,
// which sees `closed`.
ThreadCaches g_closed{{}, {}, 0, nullptr, nullptr, 0, nullptr, 0, true};

VELK_INITIAL_EXEC_TLS thread_local ThreadCaches* t_caches = nullptr;

struct Closer {
    ~Closer() {
        release_cached_blocks();
        std::free(static_cast<void*>(std::exchange(t_caches, &g_closed)));
    }
};
thread_local Closer t_closer;

// A cache's index: the size class.
constexpr std::size_t class_of(std::size_t size) noexcept { return (size + kGranule - 1) / kGranule - 1; }
constexpr std::size_t class_size(std::size_t c) noexcept { return (c + 1) * kGranule; }

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

// The calling thread's caches, made at its first cached free or chunk;
// null when they cannot be made or the thread has ended.
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

bool blocks_pooled() noexcept { return kPooling; }

// ---- tree blocks -------------------------------------------------------------

namespace {

std::atomic<void (*)(const void*, std::size_t)> g_free_observer{nullptr};

void delete_chunk(Chunk* chunk) noexcept {
    ::operator delete(static_cast<void*>(chunk), kTreeChunkBytes, std::align_val_t{kTreeChunkBytes});
}

Chunk* chunk_of(const void* block) noexcept {
    return reinterpret_cast<Chunk*>(reinterpret_cast<std::uintptr_t>(block) & ~(kTreeChunkBytes - 1));
}

// An empty chunk goes to the calling thread's spares, or to the system.
void give_back(Chunk* chunk) noexcept {
    ThreadCaches* state = t_caches;
    if (state && !state->closed && state->spare_count < kSpareChunks) {
        chunk->next_spare = state->spares;
        state->spares = chunk;
        ++state->spare_count;
        return;
    }
    delete_chunk(chunk);
}

// Counts the blocks taken from `chunk` and gives up taking more from it.
void retire(Chunk* chunk, std::int64_t taken) noexcept {
    const std::int64_t change = taken - kOwned;
    if (chunk->live.fetch_add(change, std::memory_order_acq_rel) + change == 0) give_back(chunk);
}

Chunk* new_chunk(ThreadCaches* state) {
    Chunk* chunk;
    if (state && state->spares) {
        chunk = state->spares;
        state->spares = chunk->next_spare;
        --state->spare_count;
    } else {
        chunk = static_cast<Chunk*>(::operator new(kTreeChunkBytes, std::align_val_t{kTreeChunkBytes}));
    }
    chunk->live.store(kOwned, std::memory_order_relaxed);
    chunk->next_spare = nullptr;
    return chunk;
}

void retire_current(ThreadCaches& state) noexcept {
    if (state.end == nullptr) return;
    retire(chunk_of(state.end - 1), state.taken);
    state.next = state.end = nullptr;
    state.taken = 0;
}

// The current chunk is used up (or there is none): a new one. A thread
// without caches (ended, or out of memory for them) gets a chunk of its own
// for this one block.
[[gnu::noinline]] void* allocate_tree_slow(std::size_t size) {
    ThreadCaches* state = open_caches();
    Chunk* chunk = new_chunk(state);
    char* const first = reinterpret_cast<char*>(chunk) + sizeof(Chunk);
    if (state == nullptr) {
        retire(chunk, 1);
        return first;
    }
    retire_current(*state);
    state->next = first + size;
    state->end = reinterpret_cast<char*>(chunk) + kTreeChunkBytes;
    state->taken = 1;
    return first;
}

}  // namespace

void* allocate_tree_block(std::size_t size) {
    if (!pooled(size)) return ::operator new(size);
    size = class_size(class_of(size));
    if (ThreadCaches* state = t_caches; state && static_cast<std::size_t>(state->end - state->next) >= size) {
        void* block = state->next;
        state->next += size;
        ++state->taken;
        return block;
    }
    return allocate_tree_slow(size);
}

void free_tree_block(void* p, std::size_t size) noexcept {
    if (p == nullptr) return;
    if (!pooled(size)) return ::operator delete(p, size);
    if (auto observer = g_free_observer.load(std::memory_order_relaxed)) observer(p, size);
    Chunk* chunk = chunk_of(p);
    if (chunk->live.fetch_sub(1, std::memory_order_acq_rel) == 1) give_back(chunk);
}

void observe_tree_block_frees(void (*observer)(const void*, std::size_t)) noexcept {
    g_free_observer.store(observer, std::memory_order_relaxed);
}

// ---- value blocks ------------------------------------------------------------

void* allocate_value_block(std::size_t size) {
    if (pooled(size)) {
        const std::size_t c = class_of(size);
        if (ThreadCaches* state = t_caches) {
            Cache& cache = state->classes[c];
            if (cache.count != 0) return cache.blocks[--cache.count];
        }
        return ::operator new(class_size(c));
    }
    return ::operator new(size);
}

void free_value_block(void* p, std::size_t size) noexcept {
    if (p == nullptr) return;
    if (pooled(size)) {
        const std::size_t c = class_of(size);
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
        for (std::size_t c = 0; c < kClasses; ++c) bytes += state->classes[c].count * class_size(c);
        for (std::size_t c = 0; c < kLineClasses; ++c) bytes += state->lines[c].count * (c + 1) * kLineBytes;
        bytes += state->spare_count * kTreeChunkBytes;
    }
    return bytes;
}

void release_cached_blocks() noexcept {
    ThreadCaches* state = t_caches;
    if (!state || state->closed) return;
    retire_current(*state);
    while (Chunk* chunk = state->spares) {
        state->spares = chunk->next_spare;
        delete_chunk(chunk);
    }
    state->spare_count = 0;
    for (std::size_t c = 0; c < kClasses; ++c) {
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
