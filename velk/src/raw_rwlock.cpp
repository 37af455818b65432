// The contended paths of RawRwLock: brief spinning, then sleeping in the
// parking table until a releasing thread wakes the right queue.
#include "velk/raw_rwlock.hpp"

#include <algorithm>
#include <sched.h>

#include "parking_lot.hpp"
#include "failures.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace velk {
namespace {

constexpr unsigned kSpinLimit = 10;          // attempts before parking
constexpr unsigned kBusySpins = 3;           // of those, the ones that busy-wait (2, 4, 8 pauses)
constexpr unsigned kFirstBackoff = 2;        // pauses after a lost compare-and-swap...
constexpr unsigned kMaxBackoff = 1024;       // ...doubling up to this
static_assert(kBusySpins < kSpinLimit, "the later attempts yield the processor");

void cpu_relax(unsigned pauses) noexcept {
    for (unsigned i = 0; i < pauses; ++i) {
#if defined(__x86_64__) || defined(__i386__)
        _mm_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    }
}

// Spinning before parking: a few short busy waits, then yields.
class SpinWait {
public:
    // False once the attempts are used up: time to park.
    bool spin() noexcept {
        if (count_ >= kSpinLimit) return false;
        ++count_;
        if (count_ <= kBusySpins) {
            cpu_relax(1u << count_);
        } else {
            ::sched_yield();
        }
        return true;
    }

private:
    unsigned count_ = 0;  // attempts made
};

// Short busy wait after a lost compare-and-swap among readers.
class Backoff {
public:
    void wait() noexcept {
        cpu_relax(pauses_);
        pauses_ = std::min(pauses_ * 2, kMaxBackoff);
    }

private:
    unsigned pauses_ = kFirstBackoff;  // length of the next wait
};

using State = RawRwLock::State;

bool writer_holds(State s) noexcept { return s >= RawRwLock::kWriter; }

[[noreturn]] void reader_overflow() { raise(failures::kReaderOverflow); }

// Adding a reader to s (no writer holding) would reach the writer pattern.
bool reader_limit_reached(State s) noexcept { return s >= RawRwLock::kWriter - RawRwLock::kOneReader; }

}  // namespace

void RawRwLock::lock_shared_slow() {
    State s = state_.load(std::memory_order_relaxed);
    for (;;) {
        SpinWait spin;
        for (;;) {
            Backoff backoff;
            while (!writer_holds(s)) {
                if (reader_limit_reached(s)) reader_overflow();
                if (state_.compare_exchange_weak(s, s + kOneReader, std::memory_order_acquire,
                                                 std::memory_order_relaxed)) {
                    return;
                }
                backoff.wait();
            }
            if ((s & kReadersParked) != 0) break;
            if (spin.spin()) {
                s = state_.load(std::memory_order_relaxed);
                continue;
            }
            if (state_.compare_exchange_weak(s, s | kReadersParked, std::memory_order_relaxed,
                                             std::memory_order_relaxed)) {
                s |= kReadersParked;
                break;
            }
        }
        // Sleep only if a writer still holds the lock and will see our bit.
        parking::park(
            reader_key(),
            [](const void* self) {
                const State now = static_cast<const RawRwLock*>(self)->state();
                return writer_holds(now) && (now & kReadersParked) != 0;
            },
            this);
        s = state_.load(std::memory_order_relaxed);
    }
}

void RawRwLock::unlock_shared_slow() noexcept {
    // Only writers wait and nobody holds the lock: clear their bit, wake one.
    State expected = kWritersParked;
    if (state_.compare_exchange_strong(expected, 0, std::memory_order_relaxed,
                                       std::memory_order_relaxed)) {
        parking::unpark_one(writer_key());
    }
}

void RawRwLock::lock_exclusive_slow() {
    bool parked_before = false;  // then others may still sleep: keep their bit
    State s = state_.load(std::memory_order_relaxed);
    for (;;) {
        SpinWait spin;
        for (;;) {
            while (s <= kParkedMask) {
                const State held = s | kWriter | (parked_before ? kWritersParked : 0);
                if (state_.compare_exchange_weak(s, held, std::memory_order_acquire,
                                                 std::memory_order_relaxed)) {
                    return;
                }
            }
            if ((s & kWritersParked) != 0) break;
            if (spin.spin()) {
                s = state_.load(std::memory_order_relaxed);
                continue;
            }
            if (state_.compare_exchange_weak(s, s | kWritersParked, std::memory_order_relaxed,
                                             std::memory_order_relaxed)) {
                s |= kWritersParked;
                break;
            }
        }
        // Sleep only if somebody still holds the lock and will see our bit.
        const bool slept = parking::park(
            writer_key(),
            [](const void* self) {
                const State now = static_cast<const RawRwLock*>(self)->state();
                return now > kParkedMask && (now & kWritersParked) != 0;
            },
            this);
        parked_before = parked_before || slept;
        s = state_.load(std::memory_order_relaxed);
    }
}

void RawRwLock::unlock_exclusive_slow() noexcept {
    // Parked bits may still be added while we hold the lock, so the release
    // is a compare-and-swap that decides on the bits it replaces.
    State s = state_.load(std::memory_order_relaxed);
    for (;;) {
        State next = 0;
        if ((s & kParkedMask) == kParkedMask) next = kWritersParked;  // writers keep waiting
        if (state_.compare_exchange_weak(s, next, std::memory_order_release,
                                         std::memory_order_relaxed)) {
            break;
        }
    }
    if ((s & kReadersParked) != 0) {
        parking::unpark_all(reader_key());
    } else if ((s & kWritersParked) != 0) {
        parking::unpark_one(writer_key());
    }
}

bool RawRwLock::try_lock_shared() {
    State s = state_.load(std::memory_order_relaxed);
    while (!writer_holds(s)) {
        if (reader_limit_reached(s)) reader_overflow();
        if (state_.compare_exchange_weak(s, s + kOneReader, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

bool RawRwLock::try_lock_exclusive() noexcept {
    State s = state_.load(std::memory_order_relaxed);
    while (s <= kParkedMask) {
        if (state_.compare_exchange_weak(s, s | kWriter, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

}  // namespace velk
