// The store's hash of one identifier, remembered for one store.
//
// Every store hashes its keys under a key of its own, so a hash is only worth
// keeping together with the store it belongs to. A tree names its variables
// in identifier nodes that run again and again, often on one machine: each
// such node keeps the last (store, hash) pair it computed, and a later run on
// the same store skips the hash.
//
// Several threads may run one tree at once, on one store or on several, so
// the pair is written and read as a sequence lock: the sequence word is odd
// while a writer fills the pair, and a reader takes the pair only when it saw
// the same even sequence before and after reading it. A writer that finds
// the memo busy simply does not remember its hash. Every word is an atomic,
// so no access is a data race; the sequence check rejects torn pairs, which
// would otherwise send a lookup to the wrong shard.
#pragma once

#include <atomic>
#include <cstdint>

namespace velk {

class HashMemo {
public:
    HashMemo() noexcept = default;
    // A copy of a node starts with nothing remembered.
    HashMemo(const HashMemo&) noexcept {}
    HashMemo& operator=(const HashMemo&) = delete;

    // The hash remembered for the store with id `store`, if any.
    bool recall(std::uint64_t store, std::uint64_t& hash) const noexcept {
        const std::uint64_t before = seq_.load(std::memory_order_acquire);
        if ((before & 1) != 0) return false;
        const std::uint64_t owner = owner_.load(std::memory_order_relaxed);
        const std::uint64_t h = hash_.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (seq_.load(std::memory_order_relaxed) != before || owner != store) return false;
        hash = h;
        return true;
    }

    // Remembers `hash` for the store `store`, unless another writer is busy.
    void remember(std::uint64_t store, std::uint64_t hash) const noexcept {
        std::uint64_t seq = seq_.load(std::memory_order_relaxed);
        if ((seq & 1) != 0) return;
        if (!seq_.compare_exchange_strong(seq, seq + 1, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
            return;
        }
        // Orders the odd sequence before the pair: a reader that sees any
        // part of the new pair then sees the sequence changed.
        std::atomic_thread_fence(std::memory_order_release);
        owner_.store(store, std::memory_order_relaxed);
        hash_.store(hash, std::memory_order_relaxed);
        seq_.store(seq + 2, std::memory_order_release);
    }

private:
    mutable std::atomic<std::uint64_t> seq_{0};    // odd while a writer fills the pair
    mutable std::atomic<std::uint64_t> owner_{0};  // id of the store the hash is for; 0: none
    mutable std::atomic<std::uint64_t> hash_{0};   // the hash under that store's key
};

}  // namespace velk
