// The sharded store: shard choice, locking discipline and iteration.
#include "velk/sharded_map.hpp"

#include <bit>
#include <cstdio>
#include <cstdlib>

#include "hash_keys.hpp"
#include "tls_model.hpp"
#include "shard_table.hpp"
#include "failures.hpp"

namespace velk {

struct alignas(kLineBytes) ShardedMap::Shard {  // shards never share a line
    RawRwLock lock;            // read for lookups, write for bindings
    detail::ShardTable table;  // this shard's entries
};
static_assert(sizeof(ShardedMap::Shard) == kLineBytes, "a shard fills exactly one cache line");

ShardedMap::ShardedMap(Access access) : ShardedMap(default_shard_count(), take_thread_hash_key(), access) {}

namespace {

// How many names a shard keeps, without values, when the map is cleared:
// enough for the names of a program and its inputs, few enough that a map
// cleared between calls with ever new names stays small.
constexpr std::size_t kKeptNamesPerShard = 64;

// Map numbers for the hash memos: 64 bits never wrap in practice, so no two
// maps of a process share one. A thread hands them out from a range of its
// own, so a machine made per request does no atomic update for its number.
constexpr std::uint64_t kMapIdsPerRange = std::uint64_t{1} << 16;
std::atomic<std::uint64_t> g_next_map_id_range{1};  // 0 is no map's: a memo's "none"

struct MapIdRange {
    std::uint64_t next;  // the number the thread's next map gets
    std::uint64_t end;   // past the thread's range
};
VELK_INITIAL_EXEC_TLS thread_local MapIdRange t_map_ids{0, 0};

std::uint64_t new_map_id() noexcept {
    MapIdRange& ids = t_map_ids;
    if (ids.next == ids.end) [[unlikely]] {
        ids.next = g_next_map_id_range.fetch_add(kMapIdsPerRange, std::memory_order_relaxed);
        ids.end = ids.next + kMapIdsPerRange;
    }
    return ids.next++;
}

// One operation's hold of its shard: the shard's lock when the map is
// shared; when it is exclusive, nothing (and in checked builds, the map's
// mark that an operation runs).
class Hold {
public:
    enum Mode { kRead, kWrite };

    Hold(bool locking, RawRwLock& lock, Mode mode, std::atomic<bool>* in_use)
        : lock_(locking ? &lock : nullptr), mode_(mode), in_use_(locking ? nullptr : in_use) {
        if (lock_ != nullptr) {
            mode_ == kRead ? lock_->lock_shared() : lock_->lock_exclusive();
        } else if (in_use_ != nullptr && in_use_->exchange(true, std::memory_order_acquire)) {
            overlapping_use();
        }
    }
    ~Hold() { release(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

    // The lock is someone else's to release now (a ReadGuard's).
    void disown() noexcept { lock_ = nullptr; }

    void release() noexcept {
        if (lock_ != nullptr) {
            mode_ == kRead ? lock_->unlock_shared() : lock_->unlock_exclusive();
            lock_ = nullptr;
        } else if (in_use_ != nullptr) {
            in_use_->store(false, std::memory_order_release);
            in_use_ = nullptr;
        }
    }

private:
    [[noreturn, gnu::cold]] static void overlapping_use() {
        std::fputs("velk: two operations overlap on an exclusive store\n", stderr);
        std::abort();
    }

    RawRwLock* lock_;              // held, or null
    Mode mode_;                    // how it is held
    std::atomic<bool>* in_use_;    // an exclusive map's mark, in checked builds
};

}  // namespace

ShardedMap::ShardedMap(std::size_t shard_count, SipKey key, Access access)
    : id_(new_map_id()), hasher_(key), locking_(access == Access::Shared) {
    if (!(shard_count > 1)) raise(failures::kTooFewShards);
    if ((shard_count & (shard_count - 1)) != 0) {  // not std::has_single_bit: a library call without POPCNT
        raise(failures::kShardsNotPowerOfTwo);
    }
    shift_ = kWordBits - trailing_zero_bits(shard_count);
    shard_count_ = shard_count;
    // Line blocks: a machine made per request takes its shards from the
    // thread's cache rather than from the system.
    shards_ = static_cast<Shard*>(allocate_line_block(block_bytes()));
    for (std::size_t i = 0; i < shard_count; ++i) ::new (static_cast<void*>(shards_ + i)) Shard();
    if (!locking_) recent_.start(shards_ + shard_count);
}

ShardedMap::~ShardedMap() {
    for (std::size_t i = 0; i < shard_count_; ++i) shards_[i].~Shard();
    free_line_block(shards_, block_bytes());
}

std::size_t ShardedMap::block_bytes() const noexcept {
    static_assert(RecentHashes::kBytes % kLineBytes == 0, "the kept hashes fill whole lines");
    return shard_count_ * sizeof(Shard) + (locking_ ? 0 : RecentHashes::kBytes);
}

std::optional<ShardedMap::ReadGuard> ShardedMap::find(const Identifier& key, std::uint64_t hash64) const {
    const auto hash = static_cast<std::size_t>(hash64);
    Shard& shard = shards_[shard_index(hash)];
    Hold hold(locking_, shard.lock, Hold::kRead, use_mark());
    if (const detail::ShardEntry* e = shard.table.find(key, hash); e != nullptr && e->value) {
        if (!locking_) return ReadGuard(nullptr, &e->key, &e->value);
        // The guard takes the read lock over.
        std::optional<ReadGuard> guard(ReadGuard(&shard.lock, &e->key, &e->value));
        hold.disown();
        return guard;
    }
    return std::nullopt;
}

namespace {

// The entry a memo remembers in `table`, when the table has not grown since.
const detail::ShardEntry* remembered(const LookupMemo::Recalled& r, const detail::ShardTable& table) noexcept {
    if (r.entry == nullptr || r.generation != table.generation()) return nullptr;
    return static_cast<const detail::ShardEntry*>(r.entry);
}

// Looks `key` up in `table` unless the memo knows its entry, and lets the
// memo know what it did not.
const detail::ShardEntry* find_through(const LookupMemo& memo, const LookupMemo::Recalled& r, std::uint64_t map,
                                       const detail::ShardTable& table, const Identifier& key,
                                       std::uint64_t hash) noexcept {
    if (const detail::ShardEntry* e = remembered(r, table)) return e;
    const detail::ShardEntry* e = table.find(key, static_cast<std::size_t>(hash));
    if (e != nullptr || !r.known) memo.remember(map, hash, e, table.generation());
    return e;
}

}  // namespace

bool ShardedMap::read(const Identifier& key, const LookupMemo& memo, Value& copy, ValueRef& held) const {
    const LookupMemo::Recalled r = memo.recall(id_);
    const std::uint64_t hash = r.known ? r.hash : first_hash(key);
    Shard& shard = shards_[shard_index(static_cast<std::size_t>(hash))];
    Hold hold(locking_, shard.lock, Hold::kRead, use_mark());
    const detail::ShardEntry* e = find_through(memo, r, id_, shard.table, key, hash);
    if (e != nullptr && !e->value) e = nullptr;  // a kept key without a value
    if (e != nullptr) {
        if (e->value->is_string()) {
            held = e->value;
        } else {
            copy.assign_plain(*e->value);  // no text: nothing is allocated
        }
    }
    return e != nullptr;
}

std::optional<ValueRef> ShardedMap::insert(Identifier key, ValueRef value) {
    const auto hash = static_cast<std::size_t>(first_hash(key));
    Shard& shard = shards_[shard_index(hash)];
    std::optional<ValueRef> previous;
    {
        const Hold hold(locking_, shard.lock, Hold::kWrite, use_mark());
        previous = shard.table.insert(std::move(key), std::move(value), hash, hasher_.key());
    }
    // The previous value, and `key` when it was not stored, die after the
    // unlock, in our caller's hands.
    return previous;
}

std::optional<ValueRef> ShardedMap::bind(const Identifier& key, const LookupMemo& memo, ValueRef value,
                                         Admission* admission) {
    if (&memo == &kNoMemo && admission == nullptr && !key.copy_allocates()) {
        // A bare name (zarn_runtime.bind's): nothing to remember, so one
        // probe finds its entry or the free slot for it.
        const auto hash = static_cast<std::size_t>(first_hash(key));
        Shard& shard = shards_[shard_index(hash)];
        const Hold hold(locking_, shard.lock, Hold::kWrite, use_mark());
        return shard.table.insert(Identifier(key), std::move(value), hash, hasher_.key());
    }
    const LookupMemo::Recalled r = memo.recall(id_);
    const std::uint64_t hash64 = r.known ? r.hash : first_hash(key);
    const auto hash = static_cast<std::size_t>(hash64);
    Shard& shard = shards_[shard_index(hash)];
    std::optional<ValueRef> previous;
    {
        const Hold hold(locking_, shard.lock, Hold::kWrite, use_mark());
        if (const detail::ShardEntry* e = find_through(memo, r, id_, shard.table, key, hash64)) {
            // A rebinding, or a kept key bound again: the stored key stays,
            // the entry does not move.
            if (admission != nullptr) admission->admit(e->value.get());
            previous = std::exchange(const_cast<detail::ShardEntry*>(e)->value, std::move(value));
            if (!*previous) previous.reset();
            return previous;
        }
        if (!key.copy_allocates()) {
            if (admission != nullptr) admission->admit(nullptr);
            previous = shard.table.insert(Identifier(key), std::move(value), hash, hasher_.key());
            return previous;
        }
    }
    // A first binding of a long name: its copy is made outside the lock,
    // then the key is looked for again, as another thread may have bound it.
    Identifier copy = key;
    const Hold hold(locking_, shard.lock, Hold::kWrite, use_mark());
    if (admission != nullptr) {
        ValueRef* held = shard.table.find_value(copy, hash);
        admission->admit(held != nullptr ? held->get() : nullptr);
    }
    previous = shard.table.insert(std::move(copy), std::move(value), hash, hasher_.key());
    return previous;
}

void ShardedMap::clear() noexcept {
    for (std::size_t i = 0; i < shard_count_; ++i) {
        detail::ShardTable& table = shards_[i].table;
        // Names that come back keep their entries; a shard that has met too
        // many names to be worth keeping starts empty.
        if (table.size() > kKeptNamesPerShard) {
            table.clear();
        } else {
            table.release_values();
        }
    }
}

std::atomic<bool>* ShardedMap::use_mark() const noexcept {
#ifdef VELK_CHECKED
    return &in_use_;
#else
    return nullptr;
#endif
}

std::optional<ShardedMap::EntryView> ShardedMap::Iter::next() {
    for (;;) {
        if (hold_) {
            const detail::ShardTable& table = map_->shards_[next_shard_ - 1].table;
            while (next_slot_ < table.capacity()) {
                const std::size_t slot = next_slot_++;
                if (!table.occupied(slot)) continue;
                const detail::ShardEntry& e = table.entry(slot);
                if (!e.value) continue;  // a kept key without a value
                return EntryView(hold_, &e.key, &e.value);
            }
        }
        if (next_shard_ == map_->shard_count_) return std::nullopt;
        // Lock the next shard before letting go of the current one.
        hold_ = std::make_shared<const ShardHold>(map_->locking_ ? &map_->shards_[next_shard_].lock : nullptr);
        ++next_shard_;
        next_slot_ = 0;
    }
}

}  // namespace velk
