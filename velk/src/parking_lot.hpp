// Thread parking: sleep under an address-sized key until another thread
// wakes that key. Used by the contended paths of RawRwLock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velk::parking {

// Puts the calling thread to sleep under `key`, unless `still_valid(context)`
// returns false. The check runs under the queue's lock, so a waker that
// changes the lock state before waking cannot slip in between check and
// sleep. Returns whether the thread slept (and has been woken).
bool park(std::uintptr_t key, bool (*still_valid)(const void*), const void* context);

// Wakes the longest-sleeping thread under `key`; returns 1, or 0 if none.
std::size_t unpark_one(std::uintptr_t key) noexcept;

// Wakes every thread sleeping under `key`; returns how many.
std::size_t unpark_all(std::uintptr_t key) noexcept;

// Threads asleep under `key` at this moment (lets tests wait until a thread
// has really gone to sleep, not merely announced that it will).
std::size_t parked_count(std::uintptr_t key) noexcept;

// Threads asleep under any key at this moment: the same, for tests whose
// waiting thread sleeps on a lock they cannot name (a shard's).
std::size_t parked_total() noexcept;

}  // namespace velk::parking
