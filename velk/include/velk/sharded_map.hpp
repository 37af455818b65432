// The variable store: a concurrent map from Identifier to ValueRef.
//
// The map is a fixed power-of-two array of cache-line-padded shards, each an
// open-addressing table under its own RawRwLock. A lookup read-locks one
// shard, a binding write-locks one shard, and no call ever holds two shard
// locks, so calls cannot deadlock with each other. There is no removal.
//
// One SipHash-1-3 hash per call serves both levels: the bits right below the
// top 7 choose the shard; inside the shard the top 7 bits are the slot tag
// and the low bits the home slot.
#pragma once

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "velk/lookup_memo.hpp"
#include "velk/raw_rwlock.hpp"
#include "velk/recent_hashes.hpp"
#include "velk/siphash.hpp"
#include "velk/value.hpp"

namespace velk {

// The default shard count, computed on the first call and then fixed for the
// process: shard_count_for(the processors this process may use).
std::size_t default_shard_count();

// The smallest power of two that is at least 4 * processors (processors
// taken as at least 1; saturates at the largest power of two).
std::size_t shard_count_for(std::size_t processors) noexcept;

// Trailing zero bits of n, the word width for 0; log2(n) for a power of two.
std::size_t trailing_zero_bits(std::size_t n) noexcept;

// Who may use a store at once. Shared: any threads, each operation under
// its shard's lock. Exclusive: one user at a time, guaranteed by the caller
// (the Python module holds the interpreter lock for every operation and
// runs no Python code inside one), so the locks are skipped. Checked builds
// (VELK_CHECKED) verify that no two operations of an exclusive store
// overlap.
enum class Access : std::uint8_t { Shared, Exclusive };

class ShardedMap {
public:
    static constexpr std::size_t kWordBits = sizeof(std::size_t) * CHAR_BIT;  // W
    static constexpr unsigned kTagBits = 7;  // top hash bits kept for the slot tag
    static_assert(sizeof(std::size_t) == sizeof(std::uintptr_t),
                  "shard arithmetic is done in pointer-sized words");

    // default_shard_count() shards, keyed from this thread's key pair.
    explicit ShardedMap(Access access = Access::Shared);
    // Throws EvalError failures::kTooFewShards or kShardsNotPowerOfTwo
    // (velk/src/failures.hpp).
    ShardedMap(std::size_t shard_count, SipKey key, Access access = Access::Shared);
    ~ShardedMap();
    ShardedMap(const ShardedMap&) = delete;
    ShardedMap& operator=(const ShardedMap&) = delete;

    // A hit of find: holds the shard's read lock until destroyed.
    class ReadGuard {
    public:
        ReadGuard(ReadGuard&& o) noexcept
            : lock_(std::exchange(o.lock_, nullptr)), key_(o.key_), value_(o.value_) {}
        ReadGuard& operator=(ReadGuard&&) = delete;
        ReadGuard(const ReadGuard&) = delete;
        ~ReadGuard() {
            if (lock_) lock_->unlock_shared();
        }

        const Identifier& key() const noexcept { return *key_; }
        const ValueRef& value() const noexcept { return *value_; }

    private:
        friend class ShardedMap;
        ReadGuard(RawRwLock* lock, const Identifier* key, const ValueRef* value) noexcept
            : lock_(lock), key_(key), value_(value) {}

        RawRwLock* lock_;         // read-locked by us; null once moved from
        const Identifier* key_;   // the stored key
        const ValueRef* value_;   // the stored value reference
    };

    // On a hit, the entry under its shard's read lock; on a miss nothing,
    // and no lock is held. The second form takes the key's hash, from
    // hash_of.
    std::optional<ReadGuard> find(const Identifier& key) const { return find(key, first_hash(key)); }
    std::optional<ReadGuard> find(const Identifier& key, std::uint64_t hash) const;

    // For an evaluation that only reads `key`: a text value is held by one
    // more reference, put in `held`; any other value is copied into `copy`
    // under the shard's read lock, which spares the shared count two atomic
    // updates. False when the key is not bound. The memo gives the hash, and
    // the entry itself while the entry's table has not grown since.
    bool read(const Identifier& key, const LookupMemo& memo, Value& copy, ValueRef& held) const;

    // Binds `key` to `value`. Returns the previous value when the key was
    // present (its stored key is kept). The lock is released before the
    // call returns, so the caller drops the old value outside of it.
    std::optional<ValueRef> insert(Identifier key, ValueRef value);

    // Decides on one binding while its shard is write-locked, before the
    // binding changes anything: `replaced` is the value the key holds, null
    // for a new key. Throwing refuses the binding.
    class Admission {
    public:
        virtual void admit(const Value* replaced) = 0;

    protected:
        ~Admission() = default;
    };

    // The same for a key that stays with the caller (an identifier of a
    // tree, whose hash `memo` remembers): a new key is stored as a copy, made
    // before the shard is locked when making it allocates. A non-null
    // `admission` is asked once, in the same lookup.
    std::optional<ValueRef> bind(const Identifier& key, const LookupMemo& memo, ValueRef value,
                                 Admission* admission = nullptr);

    // Drops every binding and keeps the shards, the map's number and its
    // hash key, so the hashes memos remember stay good. Each shard keeps its
    // names in their entries, without values, so names bound again find
    // them where the memos say; a shard that holds too many starts empty
    // instead, and the entries remembered there are forgotten. Values are
    // released under no lock: no operation may run on the map meanwhile.
    void clear() noexcept;

    // The hash of `key` under this map's key: the one `memo` remembers for
    // this map, or a new one that it then remembers.
    std::uint64_t hash_of(const Identifier& key, const LookupMemo& memo) const noexcept {
        std::uint64_t hash;
        if (memo.recall(id_, hash)) return hash;
        hash = first_hash(key);
        memo.remember(id_, hash);
        return hash;
    }

    // Keeps one shard read-locked while anyone holds it; shared by an
    // iterator and the entry views it handed out.
    class ShardHold {
    public:
        explicit ShardHold(RawRwLock* lock) : lock_(lock) {
            if (lock_) lock_->lock_shared();
        }
        ~ShardHold() {
            if (lock_) lock_->unlock_shared();
        }
        ShardHold(const ShardHold&) = delete;
        ShardHold& operator=(const ShardHold&) = delete;

    private:
        RawRwLock* lock_;  // read-locked from construction to destruction; null when exclusive
    };

    // One entry met by an iteration; keeps its shard read-locked while alive.
    class EntryView {
    public:
        const Identifier& key() const noexcept { return *key_; }
        const ValueRef& value() const noexcept { return *value_; }

    private:
        friend class ShardedMap;
        EntryView(std::shared_ptr<const ShardHold> hold, const Identifier* key,
                  const ValueRef* value) noexcept
            : hold_(std::move(hold)), key_(key), value_(value) {}

        std::shared_ptr<const ShardHold> hold_;  // the shard's read lock
        const Identifier* key_;                  // the stored key
        const ValueRef* value_;                  // the stored value reference
    };

    // Visits shards in index order and slots in table order. The next shard
    // is locked before the previous one is released. Not a snapshot: inserts
    // into shards not yet entered are seen, those into shards left are not.
    class Iter {
    public:
        std::optional<EntryView> next();

    private:
        friend class ShardedMap;
        explicit Iter(const ShardedMap& map) noexcept : map_(&map) {}

        const ShardedMap* map_;               // the map walked
        std::size_t next_shard_ = 0;          // index of the shard to enter next
        std::size_t next_slot_ = 0;           // slot to look at next in the current shard
        std::shared_ptr<const ShardHold> hold_;  // the current shard, once entered
    };
    Iter iter() const { return Iter(*this); }

    std::size_t shard_count() const noexcept { return shard_count_; }
    Access access() const noexcept { return locking_ ? Access::Shared : Access::Exclusive; }
    SipKey hasher() const noexcept { return hasher_.key(); }
    // The shard of a hash: the log2(shard_count) bits right below its top 7.
    std::size_t shard_index(std::uint64_t hash) const noexcept {
        return (static_cast<std::size_t>(hash) << kTagBits) >> shift_;
    }

    struct Shard;  // a lock and its table, padded to a cache line

private:
    friend class Iter;
    // The checked builds' mark of an exclusive map's running operation, or null.
    std::atomic<bool>* use_mark() const noexcept;
    // Bytes of the block that holds the shards (and the kept hashes).
    std::size_t block_bytes() const noexcept;

    // The hash of a key that no memo gives: an exclusive map remembers the
    // last few names it hashed (no other thread may be in it meanwhile).
    std::uint64_t first_hash(const Identifier& key) const noexcept {
        return locking_ ? hasher_(key) : recent_.hash(key, hasher_);
    }

    std::uint64_t id_;                 // this map's number, never given to another map
    Shard* shards_;                    // shard_count_ of them in one line block, never resized
    std::size_t shift_;                // W - log2(shard_count_)
    IdentifierHasher hasher_;          // hashes keys under this map's hash key
    std::size_t shard_count_;          // length of shards_, a power of two > 1
    bool locking_;                     // Access::Shared: operations take the shard locks
    RecentHashes recent_;              // exclusive maps only: its places follow the shards
#ifdef VELK_CHECKED
    mutable std::atomic<bool> in_use_{false};  // an operation of an exclusive map is running
#endif
};

}  // namespace velk
