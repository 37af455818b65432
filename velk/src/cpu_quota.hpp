// The cgroup CPU quota of this process, as whole processors.
//
// The parsers are pure functions of the files' texts so that every layout
// can be tested without a cgroup at hand.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velk::cpu_quota {

// Processors granted by a cgroup v1 pair: cpu.cfs_quota_us over
// cpu.cfs_period_us, rounded down, at least 1. Nothing when the quota is -1
// (unlimited) or a text is malformed.
std::optional<std::size_t> from_cgroup_v1(std::string_view quota_us, std::string_view period_us) noexcept;

// Processors granted by a cgroup v2 cpu.max ("max 100000" or
// "150000 100000"), rounded down, at least 1. Nothing for "max" or a
// malformed text.
std::optional<std::size_t> from_cgroup_v2(std::string_view cpu_max) noexcept;

// The directories holding this process's cpu controller files, from the
// texts of /proc/self/cgroup and /proc/self/mountinfo.
struct CgroupDirs {
    std::optional<std::string> v1;  // holds cpu.cfs_quota_us and cpu.cfs_period_us
    std::optional<std::string> v2;  // holds cpu.max
};
CgroupDirs find_cgroup_dirs(std::string_view proc_self_cgroup, std::string_view mountinfo);

// `processors` limited by `quota` where one is set; at least 1.
std::size_t limit(std::size_t processors, std::optional<std::size_t> quota) noexcept;

#if defined(__linux__)
// The quota of the running process (the smaller where both versions set
// one); nothing where none is set or the files cannot be read. Linux only:
// the parsers above are portable, so every system tests them.
std::optional<std::size_t> read_current();
#endif

}  // namespace velk::cpu_quota
