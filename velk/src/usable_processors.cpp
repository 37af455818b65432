#include "usable_processors.hpp"

#if defined(__linux__)
#include <cerrno>
#include <optional>
#include <sched.h>
#include <unistd.h>

#include "cpu_quota.hpp"
#else
#include <algorithm>
#include <thread>
#endif

namespace velk {

#if defined(__linux__)

namespace {

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

}  // namespace

std::size_t usable_processors() {
    std::optional<std::size_t> p = affinity_processors();
    if (!p) {
        const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
        if (online > 0) p = static_cast<std::size_t>(online);
    }
    if (!p) return 1;
    return cpu_quota::limit(*p, cpu_quota::read_current());
}

#else

std::size_t usable_processors() { return std::max(1u, std::thread::hardware_concurrency()); }

#endif

}  // namespace velk
