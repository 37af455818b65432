// A one-word reader-writer lock for the store's shards.
//
// State word s (W = bits of std::uintptr_t):
//   bit 0            readers parked: some thread sleeps waiting to read
//   bit 1            writers parked: some thread sleeps waiting to write
//   bits 2..W-1      number of readers holding the lock (one reader = 4);
//                    all of them set means one writer holds it
// Readers are admitted whenever no writer holds the lock, also while writers
// wait (no writer preference); a writer only when nobody holds it. Every
// fast path is one atomic read-modify-write; contended paths spin briefly and
// then sleep on a futex through the process-wide parking table.
#pragma once

#include <atomic>
#include <climits>
#include <cstdint>

namespace velk {

class RawRwLock {
public:
    using State = std::uintptr_t;

    static constexpr State kReadersParked = 1;  // bit 0
    static constexpr State kWritersParked = 2;  // bit 1
    static constexpr State kParkedMask = kReadersParked | kWritersParked;
    static constexpr State kOneReader = 4;       // the count's unit
    static constexpr State kWriter = ~kParkedMask;  // all count bits set
    // Largest state from which adding a reader neither overflows nor reaches
    // the writer pattern: 2^W - 9.
    static constexpr State kMaxFastShared = State(0) - 9;
    // Threads that may hold the lock for reading at once: 2^(W-2) - 2.
    static constexpr State kMaxReaders = (kWriter >> 2) - 1;

    static_assert(kOneReader == kParkedMask + 1, "the reader count sits right above the parked bits");
    static_assert(kMaxFastShared + kOneReader == kWriter - 1,
                  "the fast path stops one reader short of the writer pattern");
    static_assert(kMaxReaders == (State(1) << (sizeof(State) * CHAR_BIT - 2)) - 2,
                  "one count value is the writer pattern, so one reader fewer fits");

    constexpr RawRwLock() noexcept = default;
    // Starts from an arbitrary state word; only for tests of the limits.
    constexpr explicit RawRwLock(State initial) noexcept : state_(initial) {}
    RawRwLock(const RawRwLock&) = delete;
    RawRwLock& operator=(const RawRwLock&) = delete;

    // Throws EvalError failures::kReaderOverflow (velk/src/failures.hpp) when
    // the reader limit is hit.
    void lock_shared() {
        State s = state_.load(std::memory_order_relaxed);
        if (s <= kMaxFastShared &&
            state_.compare_exchange_weak(s, s + kOneReader, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
            return;
        }
        lock_shared_slow();
    }

    void unlock_shared() noexcept {
        const State before = state_.fetch_sub(kOneReader, std::memory_order_release);
        // The last reader left while writers sleep: hand the lock over.
        if (before == (kOneReader | kWritersParked)) unlock_shared_slow();
    }

    void lock_exclusive() {
        State s = 0;
        if (state_.compare_exchange_weak(s, kWriter, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
            return;
        }
        lock_exclusive_slow();
    }

    void unlock_exclusive() noexcept {
        State s = kWriter;
        if (state_.compare_exchange_strong(s, 0, std::memory_order_release,
                                           std::memory_order_relaxed)) {
            return;
        }
        unlock_exclusive_slow();
    }

    // Never waits. False when a writer holds the lock; throws like
    // lock_shared at the reader limit.
    bool try_lock_shared();
    // Never waits. False when anybody holds the lock.
    bool try_lock_exclusive() noexcept;

    State state() const noexcept { return state_.load(std::memory_order_relaxed); }

private:
    void lock_shared_slow();
    void unlock_shared_slow() noexcept;
    void lock_exclusive_slow();
    void unlock_exclusive_slow() noexcept;

    // Sleep queues: writers wait under the lock's address, readers under
    // the address + 1.
    std::uintptr_t writer_key() const noexcept { return reinterpret_cast<std::uintptr_t>(this); }
    std::uintptr_t reader_key() const noexcept { return writer_key() + 1; }

    std::atomic<State> state_{0};  // see the layout above; 0 when free
};

}  // namespace velk
