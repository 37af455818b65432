// How many shards a store gets: four per usable processor, rounded up to a
// power of two, decided once per process.
#include <bit>
#include <limits>

#include "usable_processors.hpp"
#include "velk/sharded_map.hpp"

namespace velk {
namespace {

constexpr std::size_t kShardsPerProcessor = 4;  // keeps two threads rarely on one shard

}  // namespace

std::size_t shard_count_for(std::size_t processors) noexcept {
    constexpr std::size_t kLargest = std::size_t(1) << (std::numeric_limits<std::size_t>::digits - 1);
    const std::size_t p = processors == 0 ? 1 : processors;
    if (p > kLargest / kShardsPerProcessor) return kLargest;
    return std::bit_ceil(p * kShardsPerProcessor);
}

std::size_t trailing_zero_bits(std::size_t n) noexcept { return static_cast<std::size_t>(std::countr_zero(n)); }

std::size_t default_shard_count() {
    static const std::size_t count = shard_count_for(usable_processors());  // once per process
    return count;
}

}  // namespace velk
