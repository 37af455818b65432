// Insertion, growth and release of a shard's table (lookup is inline in the
// header, on the hot path).
#include "shard_table.hpp"

#include <memory>
#include <new>
#include <utility>

namespace velk::detail {
namespace {

// A table's storage starts and ends on cache-line boundaries, so two
// shards' tables never share a line: threads binding variables of
// different shards must not slow each other down (small tables of
// neighbouring shards would otherwise sit side by side in one line).
constexpr std::size_t kStorageAlignment = kLineBytes;
static_assert(alignof(ShardEntry) <= kStorageAlignment, "the slot array sits at the start of the block");

std::size_t ctrl_bytes(std::size_t capacity) noexcept { return capacity + Group::kWidth - 1; }

std::size_t allocation_bytes(std::size_t capacity) noexcept {
    const std::size_t bytes = capacity * sizeof(ShardEntry) + ctrl_bytes(capacity);
    return (bytes + kStorageAlignment - 1) / kStorageAlignment * kStorageAlignment;
}

void* new_storage(std::size_t capacity) { return allocate_line_block(allocation_bytes(capacity)); }

void delete_storage(void* p, std::size_t capacity) noexcept { free_line_block(p, allocation_bytes(capacity)); }

}  // namespace

ShardTable::~ShardTable() {
    if (ctrl_ == nullptr) return;
    destroy_entries();
    delete_storage(slots_, mask_ + 1);
}

void ShardTable::destroy_entries() noexcept {
    if (size_ != 0) each_occupied([](ShardEntry& e) { e.~ShardEntry(); });
}

void ShardTable::clear() noexcept {
    ++generation_;
    if (ctrl_ == nullptr || size_ == 0) return;
    destroy_entries();
    std::memset(ctrl_, kEmpty, ctrl_bytes(mask_ + 1));
    size_ = 0;
    growth_left_ = max_load(mask_ + 1);
}

void ShardTable::release_values() noexcept {
    if (ctrl_ == nullptr || size_ == 0) return;
    each_occupied([](ShardEntry& e) { e.value = ValueRef(); });
}

void ShardTable::set_ctrl(std::size_t slot, std::uint8_t byte) noexcept {
    // The byte and every mirror of it in the tail.
    const std::size_t capacity = mask_ + 1;
    for (std::size_t j = slot; j < ctrl_bytes(capacity); j += capacity) ctrl_[j] = byte;
}

std::size_t ShardTable::find_free(std::size_t hash) const noexcept {
    std::size_t pos = hash & mask_;
    for (std::size_t stride = Group::kWidth;; stride += Group::kWidth) {
        const Group::Mask empty = Group(ctrl_ + pos).match_empty() & window_;
        if (empty != 0) return (pos + lowest_byte(empty)) & mask_;
        pos = (pos + stride) & mask_;
    }
}

void ShardTable::grow(SipKey rehash_key) {
    std::size_t capacity = ctrl_ == nullptr ? kMinCapacity : (mask_ + 1) * 2;
    while (max_load(capacity) < size_ + 1) capacity *= 2;

    // Everything that can fail happens before the table changes.
    void* storage = new_storage(capacity);

    ShardTable old;  // takes the current storage and releases it at the end
    std::swap(old.slots_, slots_);
    std::swap(old.ctrl_, ctrl_);
    std::swap(old.mask_, mask_);
    std::swap(old.window_, window_);
    std::swap(old.size_, size_);
    std::swap(old.growth_left_, growth_left_);

    slots_ = static_cast<ShardEntry*>(storage);
    ctrl_ = reinterpret_cast<std::uint8_t*>(slots_ + capacity);
    std::memset(ctrl_, kEmpty, ctrl_bytes(capacity));
    mask_ = capacity - 1;
    window_ = Group::window(capacity);
    size_ = old.size_;
    growth_left_ = max_load(capacity) - size_;
    ++generation_;

    if (old.ctrl_ == nullptr) return;
    for (std::size_t i = 0; i <= old.mask_; ++i) {
        if (!old.occupied(i)) continue;
        ShardEntry& from = old.slots_[i];
        const std::size_t hash = static_cast<std::size_t>(hash_identifier(rehash_key, from.key));
        const std::size_t slot = find_free(hash);
        new (&slots_[slot]) ShardEntry{std::move(from.key), std::move(from.value)};
        set_ctrl(slot, tag_of(hash));
    }
    // The moved-from entries hold nothing; `old` destroys them and frees.
}

std::optional<ValueRef> ShardTable::insert(Identifier&& key, ValueRef&& value, std::size_t hash,
                                           SipKey rehash_key) {
    if (growth_left_ == 0) grow(rehash_key);

    const std::uint8_t tag = tag_of(hash);
    std::size_t pos = hash & mask_;
    for (std::size_t stride = Group::kWidth;; stride += Group::kWidth) {
        const Group group(ctrl_ + pos);
        for (Group::Mask m = group.match(tag) & window_; m != 0; m &= m - 1) {
            ShardEntry& e = slots_[(pos + lowest_byte(m)) & mask_];
            if (e.key == key) {
                ValueRef previous = std::exchange(e.value, std::move(value));
                if (!previous) return std::nullopt;  // a kept key without a value
                return previous;
            }
        }
        // No removal: the first free slot on the path ends the search, and
        // is where the key belongs.
        if (const Group::Mask empty = group.match_empty() & window_; empty != 0) {
            const std::size_t slot = (pos + lowest_byte(empty)) & mask_;
            new (&slots_[slot]) ShardEntry{std::move(key), std::move(value)};
            set_ctrl(slot, tag);
            ++size_;
            --growth_left_;
            return std::nullopt;
        }
        pos = (pos + stride) & mask_;
    }
}

}  // namespace velk::detail
