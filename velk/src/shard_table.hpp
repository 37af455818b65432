// The hash table inside one shard of the variable store.
//
// Design (after the Swiss table): open addressing over a power-of-two array
// of slots that hold the entries inline, plus one control byte per slot.
// A control byte is either kEmpty (high bit set) or the tag of the entry in
// the slot: the top 7 bits of its hash (high bit clear). A lookup starts at
// the home slot (the low bits of the hash), loads a whole group of control
// bytes at once, compares the tag against all of them in a few instructions
// and looks at a key only when its tag matches; the first group that has an
// empty byte ends a miss. Groups that do not hold the key are left by
// triangular steps of one group width, which visits every group of a
// power-of-two table.
//
// The control array is the slot count plus kGroupWidth - 1 bytes: the tail
// mirrors the first bytes (ctrl[j] == ctrl[j % capacity]) so a group load
// never wraps. A table smaller than a group is covered by the first group
// loaded; a window mask keeps only its first `capacity` bytes, so each slot
// is looked at once.
//
// There is no removal, so there are no tombstones: a slot once filled stays
// filled until the table is destroyed. The table keeps at most 7/8 of its
// slots full (one slot less than the size up to 8 slots, so a probe always
// meets an empty byte) and doubles when that limit is reached. Growth
// rehashes every key, so the caller passes the map's hash key along.
//
// The table does no locking; the shard's lock guards it.
#pragma once

#include <bit>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

// VELK_PORTABLE_GROUP forces the word-at-a-time group, to test it on
// machines that have SSE2.
#if defined(__SSE2__) && !defined(VELK_PORTABLE_GROUP)
#define VELK_SSE2_GROUP 1
#include <emmintrin.h>
#endif

#include "velk/sharded_map.hpp"
#include "velk/siphash.hpp"
#include "velk/value.hpp"

namespace velk::detail {

// One slot's content: the key and one reference to its value.
struct ShardEntry {
    Identifier key;  // never changes once stored
    ValueRef value;  // replaced by a binding of the same key
};

inline constexpr std::uint8_t kEmpty = 0x80;  // control byte of a free slot
inline constexpr unsigned kTagBits = ShardedMap::kTagBits;  // hash bits kept per slot
inline constexpr std::size_t kMinCapacity = 4;        // slots on the first insert
inline constexpr std::size_t kSmallCapacityLimit = 8;  // up to here: one slot stays free
inline constexpr std::size_t kWordBits = ShardedMap::kWordBits;

static_assert((kEmpty >> kTagBits) == 1, "kEmpty must differ from every 7-bit tag by its high bit");
static_assert(std::has_single_bit(kMinCapacity), "slot counts are powers of two");
static_assert(kMinCapacity >= 2, "a table must keep one slot free and still hold an entry");

// The largest number of entries a table of `capacity` slots holds: 7/8 of
// it, one slot less for small tables (where 7/8 would round to a full table).
constexpr std::size_t max_load(std::size_t capacity) noexcept {
    return capacity <= kSmallCapacityLimit ? capacity - 1 : capacity - capacity / 8;
}
static_assert(max_load(4) == 3 && max_load(8) == 7 && max_load(16) == 14);

constexpr std::uint8_t tag_of(std::size_t hash) noexcept {
    return static_cast<std::uint8_t>(hash >> (kWordBits - kTagBits));
}

#if defined(VELK_SSE2_GROUP)

// Sixteen control bytes compared at once; bit i of a mask stands for byte i.
class Group {
public:
    using Mask = std::uint32_t;
    static constexpr std::size_t kWidth = 16;
    static constexpr unsigned kBitsPerByte = 1;

    explicit Group(const std::uint8_t* ctrl) noexcept
        : bytes_(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ctrl))) {}

    Mask match(std::uint8_t tag) const noexcept {
        const __m128i eq = _mm_cmpeq_epi8(_mm_set1_epi8(static_cast<char>(tag)), bytes_);
        return static_cast<Mask>(_mm_movemask_epi8(eq));
    }
    // Only kEmpty has the high bit set.
    Mask match_empty() const noexcept { return static_cast<Mask>(_mm_movemask_epi8(bytes_)); }

    // Mask of the first `n` bytes.
    static constexpr Mask window(std::size_t n) noexcept {
        return n >= kWidth ? Mask(0xFFFF) : static_cast<Mask>((Mask(1) << n) - 1);
    }

private:
    __m128i bytes_;  // the control bytes
};

#else

// Eight control bytes in one word (SWAR); the high bit of byte i's lane
// stands for byte i. A tag match may report a false positive right after a
// true one; the key comparison that follows filters it out.
class Group {
public:
    using Mask = std::uint64_t;
    static constexpr std::size_t kWidth = 8;
    static constexpr unsigned kBitsPerByte = 8;

    explicit Group(const std::uint8_t* ctrl) noexcept {
        std::memcpy(&word_, ctrl, sizeof word_);
    }

    Mask match(std::uint8_t tag) const noexcept {
        const std::uint64_t x = word_ ^ (kLsbs * tag);
        return (x - kLsbs) & ~x & kMsbs;
    }
    Mask match_empty() const noexcept { return word_ & kMsbs; }

    static constexpr Mask window(std::size_t n) noexcept {
        return n >= kWidth ? kMsbs : (((Mask(1) << (8 * n)) - 1) & kMsbs);
    }

private:
    static constexpr std::uint64_t kLsbs = 0x0101010101010101;
    static constexpr std::uint64_t kMsbs = 0x8080808080808080;
    std::uint64_t word_;  // the control bytes, byte i in bits 8i..8i+7
};

#endif

static_assert(std::has_single_bit(Group::kWidth), "triangular probing needs a power-of-two stride");

// Byte offset of the lowest set bit of a group mask.
inline std::size_t lowest_byte(Group::Mask m) noexcept {
    return static_cast<std::size_t>(std::countr_zero(m)) / Group::kBitsPerByte;
}

class ShardTable {
public:
    ShardTable() noexcept = default;
    ~ShardTable();
    ShardTable(const ShardTable&) = delete;
    ShardTable& operator=(const ShardTable&) = delete;

    // The entry holding `key`, or null. `hash` is the key's hash.
    [[gnu::always_inline]] const ShardEntry* find(const Identifier& key, std::size_t hash) const noexcept {
        if (ctrl_ == nullptr) return nullptr;
        const std::uint8_t tag = tag_of(hash);
        std::size_t pos = hash & mask_;
        for (std::size_t stride = Group::kWidth;; stride += Group::kWidth) {
            const Group group(ctrl_ + pos);
            for (Group::Mask m = group.match(tag) & window_; m != 0; m &= m - 1) {
                const ShardEntry& e = slots_[(pos + lowest_byte(m)) & mask_];
                if (e.key == key) return &e;
            }
            if ((group.match_empty() & window_) != 0) return nullptr;
            pos = (pos + stride) & mask_;
        }
    }

    // The value reference stored for `key`, or null, for a rebinding.
    ValueRef* find_value(const Identifier& key, std::size_t hash) noexcept {
        const ShardEntry* e = find(key, hash);
        return e ? &const_cast<ShardEntry*>(e)->value : nullptr;
    }

    // Binds `key` to `value`, growing first when the table is at its load
    // limit. Present key: the stored key stays, `value` moves in and the
    // previous value is returned. New key: `key` and `value` move into a
    // free slot. `key` is moved from only when it is stored. `rehash_key`
    // is the map's hash key, needed to place the entries when growing.
    std::optional<ValueRef> insert(Identifier&& key, ValueRef&& value, std::size_t hash,
                                   SipKey rehash_key);

    // Drops every entry and keeps the storage, for a store that is reused:
    // the generation moves on, as slots will hold other keys.
    void clear() noexcept;
    // Releases every value and keeps the keys in their slots, for a store
    // that is reused with the same names: binding a name again fills its
    // entry, and the memos that remember the entry stay good. An entry
    // without a value is no binding; the store passes it by.
    void release_values() noexcept;

    // Grows by one whenever the entries move (growth) or go (clear): an
    // entry's address found at one generation holds while the generation is
    // the same.
    std::uint64_t generation() const noexcept { return generation_; }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return ctrl_ == nullptr ? 0 : mask_ + 1; }
    bool occupied(std::size_t slot) const noexcept { return ctrl_[slot] != kEmpty; }
    const ShardEntry& entry(std::size_t slot) const noexcept { return slots_[slot]; }

private:
    // Calls visit(entry) for every occupied slot, a group of control bytes
    // at a time: a store made per request holds a few entries in small
    // tables, and its release passes the empty slots without a branch each.
    template <class Visit>
    void each_occupied(Visit&& visit) noexcept {
        const std::size_t capacity = mask_ + 1;
        for (std::size_t base = 0; base < capacity; base += Group::kWidth) {
            for (Group::Mask m = ~Group(ctrl_ + base).match_empty() & window_; m != 0; m &= m - 1) {
                visit(slots_[base + lowest_byte(m)]);
            }
        }
    }
    // Destroys every entry (the storage stays).
    void destroy_entries() noexcept;
    void grow(SipKey rehash_key);
    // The first free slot on `hash`'s probe path.
    std::size_t find_free(std::size_t hash) const noexcept;
    void set_ctrl(std::size_t slot, std::uint8_t byte) noexcept;

    ShardEntry* slots_ = nullptr;    // capacity() slots; the allocation starts here
    std::uint8_t* ctrl_ = nullptr;   // capacity() + kWidth - 1 bytes, inside the same allocation
    std::size_t mask_ = 0;           // capacity() - 1
    Group::Mask window_ = 0;         // group bytes that are distinct slots
    std::size_t size_ = 0;           // entries stored
    std::size_t growth_left_ = 0;    // entries that fit before the next growth
    std::uint64_t generation_ = 0;   // growths so far
};

}  // namespace velk::detail
