// The store's hash of one identifier, and where its entry lies, remembered
// for one store.
//
// Every store hashes its keys under a key of its own, so a hash is only worth
// keeping together with the store it belongs to. A tree names its variables
// in identifier nodes that run again and again, often on one machine: each
// such node keeps the last store it ran on, the hash it computed there and
// the address of the variable's entry, with the generation of the entry's
// table at that time. A later run on the same store skips the hash, and
// while that table has not grown (entries move only then: there is no
// removal) it skips the search too.
//
// Several threads may run one tree at once, on one store or on several, so
// the words are written and read as a sequence lock: the sequence word is
// odd while a writer fills them, and a reader takes them only when it saw
// the same even sequence before and after reading them. A writer that finds
// the memo busy simply does not remember. Every word is an atomic, so no
// access is a data race; the sequence check rejects torn sets, which would
// otherwise send a lookup to the wrong shard or entry.
//
// Recalling and remembering change the words of a memo that is const: a
// tree node's memo changes while the node runs, though the tree is shared
// and read-only to every run.
#pragma once

#include <atomic>
#include <cstdint>

namespace velk {

class LookupMemo {
public:
    LookupMemo() noexcept = default;
    // A memo that never remembers: its sequence stays odd, as if a writer
    // were always busy, so it recalls nothing and is never written. One
    // such memo (kNoMemo) serves every name that is not a tree's.
    struct Never {};
    constexpr explicit LookupMemo(Never) noexcept : seq_(1) {}
    // A copy of a node starts with nothing remembered.
    LookupMemo(const LookupMemo&) noexcept {}
    LookupMemo& operator=(const LookupMemo&) = delete;

    // What a memo knows for one store.
    struct Recalled {
        bool known = false;             // the hash is the store's
        std::uint64_t hash = 0;         // the hash under the store's key
        const void* entry = nullptr;    // the entry's address, or null
        std::uint64_t generation = 0;   // of the entry's table when it was found there
    };

    Recalled recall(std::uint64_t store) const noexcept {
        Recalled r;
        const std::uint64_t before = seq_.load(std::memory_order_acquire);
        if ((before & 1) != 0) return r;
        const std::uint64_t owner = owner_.load(std::memory_order_relaxed);
        r.hash = hash_.load(std::memory_order_relaxed);
        r.entry = entry_.load(std::memory_order_relaxed);
        r.generation = generation_.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (seq_.load(std::memory_order_relaxed) != before || owner != store) return Recalled{};
        r.known = true;
        return r;
    }

    // The hash alone, for callers that do not look for the entry.
    bool recall(std::uint64_t store, std::uint64_t& hash) const noexcept {
        const Recalled r = recall(store);
        hash = r.hash;
        return r.known;
    }

    // Remembers `hash` for the store `store`, and the entry (or null) with
    // its table's generation, unless another writer is busy.
    void remember(std::uint64_t store, std::uint64_t hash, const void* entry = nullptr,
                  std::uint64_t generation = 0) const noexcept {
        std::uint64_t seq = seq_.load(std::memory_order_relaxed);
        if ((seq & 1) != 0) return;
        if (!seq_.compare_exchange_strong(seq, seq + 1, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
            return;
        }
        // Orders the odd sequence before the words: a reader that sees any
        // of the new words then sees the sequence changed.
        std::atomic_thread_fence(std::memory_order_release);
        owner_.store(store, std::memory_order_relaxed);
        hash_.store(hash, std::memory_order_relaxed);
        entry_.store(entry, std::memory_order_relaxed);
        generation_.store(generation, std::memory_order_relaxed);
        seq_.store(seq + 2, std::memory_order_release);
    }

private:
    mutable std::atomic<std::uint64_t> seq_{0};          // odd while a writer fills the words
    mutable std::atomic<std::uint64_t> owner_{0};        // id of the store they are for; 0: none
    mutable std::atomic<std::uint64_t> hash_{0};         // the hash under that store's key
    mutable std::atomic<const void*> entry_{nullptr};    // the variable's entry there, or null
    mutable std::atomic<std::uint64_t> generation_{0};   // of the entry's table when found
};

inline constinit const LookupMemo kNoMemo{LookupMemo::Never{}};

}  // namespace velk
