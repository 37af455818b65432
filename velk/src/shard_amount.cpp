// How many shards a store gets: four per usable processor, rounded up to a
// power of two, decided once per process.
#include <bit>
#include <cerrno>
#include <limits>
#include <optional>
#include <sched.h>
#include <unistd.h>

#include "cpu_quota.hpp"
#include "velk/sharded_map.hpp"

namespace velk {
namespace {

constexpr std::size_t kShardsPerProcessor = 4;  // keeps two threads rarely on one shard
constexpr std::size_t kMaxAffinityCpus = std::size_t(1) << 20;  // give up growing the mask here

// Processors in this thread's scheduler affinity mask.
std::optional<std::size_t> affinity_processors() {
    for (std::size_t cpus = CPU_SETSIZE; cpus <= kMaxAffinityCpus; cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return std::nullopt;
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set);
        const bool ok = ::sched_getaffinity(0, bytes, set) == 0;
        const int count = ok ? CPU_COUNT_S(bytes, set) : 0;
        CPU_FREE(set);
        if (ok) return count > 0 ? std::optional<std::size_t>(static_cast<std::size_t>(count)) : std::nullopt;
        if (errno != EINVAL) return std::nullopt;  // EINVAL: the mask is wider; retry
    }
    return std::nullopt;
}

std::size_t usable_processors() {
    std::optional<std::size_t> p = affinity_processors();
    if (!p) {
        const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
        if (online > 0) p = static_cast<std::size_t>(online);
    }
    if (!p) return 1;
    return cpu_quota::limit(*p, cpu_quota::read_current());
}

}  // namespace

std::size_t shard_amount_for(std::size_t processors) noexcept {
    constexpr std::size_t kLargest = std::size_t(1) << (std::numeric_limits<std::size_t>::digits - 1);
    const std::size_t p = processors == 0 ? 1 : processors;
    if (p > kLargest / kShardsPerProcessor) return kLargest;
    return std::bit_ceil(p * kShardsPerProcessor);
}

std::size_t trailing_zero_bits(std::size_t n) noexcept { return static_cast<std::size_t>(std::countr_zero(n)); }

std::size_t default_shard_amount() {
    static const std::size_t amount = shard_amount_for(usable_processors());  // once per process
    return amount;
}

}  // namespace velk
