// The process-wide wait table: a fixed array of buckets, each a queue of
// sleeping threads guarded by a small lock on one word. A thread sleeps on
// its own word, so a wake-up never depends on which key shares its bucket.
// The sleeping itself is word_wait's (the futex on Linux).
#include "parking_lot.hpp"

#include "velk/block_pool.hpp"

#include <atomic>
#include <bit>
#include <optional>
#include <thread>

#include "word_wait.hpp"

namespace velk::parking {
namespace {

constexpr std::size_t kBuckets = 256;  // queues in the table; keys spread by hash
static_assert(std::has_single_bit(kBuckets), "buckets are chosen by masking");

// A mutex on one word: 0 free, 1 locked, 2 locked with sleepers.
class WordLock {
public:
    void lock() noexcept {
        std::uint32_t s = 0;
        if (word_.compare_exchange_strong(s, 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
        if (s != 2) s = word_.exchange(2, std::memory_order_acquire);
        while (s != 0) {
            word_wait::wait(word_, 2);
            s = word_.exchange(2, std::memory_order_acquire);
        }
    }
    void unlock() noexcept {
        if (word_.exchange(0, std::memory_order_release) == 2) word_wait::wake_one(word_);
    }

private:
    std::atomic<std::uint32_t> word_{0};  // see above
};

// One sleeping thread; lives in the thread's own storage.
// `asleep` goes 1 (asleep) -> kWaking (let go; the waker still wakes the
// word) -> 0 (the waker is done with it). The thread leaves park only at 0,
// so its Parker outlives every waker's use of it, whatever the system's wait
// does with a word that is gone.
constexpr std::uint32_t kWaking = 2;
struct Parker {
    std::atomic<std::uint32_t> asleep{0};  // see above
    std::uintptr_t key = 0;                // what the thread waits for
    Parker* next = nullptr;                // queue link
};

struct alignas(kLineBytes) Bucket {
    WordLock lock;          // guards the queue
    Parker* head = nullptr;  // first to wake
    Parker* tail = nullptr;  // last to arrive
};

struct WaitTable {
    Bucket buckets[kBuckets];  // keys hash onto these
};

std::atomic<WaitTable*> g_table{nullptr};

// Created by the first thread that parks; never freed (threads may still be
// waking up while the process ends).
WaitTable& table_for_parking() {
    WaitTable* t = g_table.load(std::memory_order_acquire);
    if (t != nullptr) return *t;
    auto* fresh = new WaitTable;
    if (g_table.compare_exchange_strong(t, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
        return *fresh;
    }
    delete fresh;  // another thread won
    return *t;
}

Bucket& bucket_of(WaitTable& table, std::uintptr_t key) noexcept {
    // Fibonacci hashing: lock addresses differ mostly in their middle bits.
    constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ULL;
    const std::uint64_t h = static_cast<std::uint64_t>(key) * kGolden;
    return table.buckets[h >> (64 - std::countr_zero(kBuckets))];
}

// Removes the sleepers under `key` from `bucket`, at most `limit` of them,
// and returns them as a list linked through `next`.
Parker* dequeue(Bucket& bucket, std::uintptr_t key, std::size_t limit) noexcept {
    Parker* woken = nullptr;
    Parker** woken_tail = &woken;
    Parker* prev = nullptr;
    std::size_t count = 0;
    for (Parker* p = bucket.head; p != nullptr && count < limit;) {
        Parker* const next = p->next;
        if (p->key == key) {
            (prev ? prev->next : bucket.head) = next;
            if (bucket.tail == p) bucket.tail = prev;
            p->next = nullptr;
            *woken_tail = p;
            woken_tail = &p->next;
            ++count;
        } else {
            prev = p;
        }
        p = next;
    }
    return woken;
}

std::size_t unpark(std::uintptr_t key, std::size_t limit) noexcept {
    WaitTable* table = g_table.load(std::memory_order_acquire);
    if (table == nullptr) return 0;  // nobody ever parked
    Bucket& bucket = bucket_of(*table, key);
    bucket.lock.lock();
    Parker* woken = dequeue(bucket, key, limit);
    bucket.lock.unlock();

    std::size_t count = 0;
    while (woken != nullptr) {
        // Once `asleep` is 0 the thread may run on and reuse its Parker, so
        // read the link first.
        Parker* const next = woken->next;
        woken->asleep.store(kWaking, std::memory_order_release);
        word_wait::wake_one(woken->asleep);
        woken->asleep.store(0, std::memory_order_release);
        woken = next;
        ++count;
    }
    return count;
}

}  // namespace

bool park(std::uintptr_t key, bool (*still_valid)(const void*), const void* context) {
    thread_local Parker self;
    Bucket& bucket = bucket_of(table_for_parking(), key);
    bucket.lock.lock();
    if (!still_valid(context)) {
        bucket.lock.unlock();
        return false;
    }
    self.key = key;
    self.next = nullptr;
    self.asleep.store(1, std::memory_order_relaxed);
    (bucket.tail ? bucket.tail->next : bucket.head) = &self;
    bucket.tail = &self;
    bucket.lock.unlock();

    for (std::uint32_t state; (state = self.asleep.load(std::memory_order_acquire)) != 0;) {
        if (state == kWaking) {
            std::this_thread::yield();  // the waker is between its two stores
        } else {
            word_wait::wait(self.asleep, state);
        }
    }
    return true;
}

std::size_t unpark_one(std::uintptr_t key) noexcept { return unpark(key, 1); }

std::size_t unpark_all(std::uintptr_t key) noexcept { return unpark(key, SIZE_MAX); }

namespace {

// Threads asleep in `bucket` under `key`, or under any key when it is null.
std::size_t count_parked(Bucket& bucket, std::optional<std::uintptr_t> key) noexcept {
    bucket.lock.lock();
    std::size_t count = 0;
    for (const Parker* p = bucket.head; p != nullptr; p = p->next) count += !key || p->key == *key;
    bucket.lock.unlock();
    return count;
}

}  // namespace

std::size_t parked_count(std::uintptr_t key) noexcept {
    WaitTable* table = g_table.load(std::memory_order_acquire);
    return table ? count_parked(bucket_of(*table, key), key) : 0;
}

std::size_t parked_total() noexcept {
    WaitTable* table = g_table.load(std::memory_order_acquire);
    std::size_t count = 0;
    if (table) {
        for (Bucket& bucket : table->buckets) count += count_parked(bucket, std::nullopt);
    }
    return count;
}

}  // namespace velk::parking
