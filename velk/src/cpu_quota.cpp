// Reading and parsing the cgroup CPU quota files.
#include "cpu_quota.hpp"

#if defined(__linux__)
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <iterator>
#include <vector>

namespace velk::cpu_quota {
namespace {

std::string_view trim(std::string_view s) noexcept {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

// A whole text as a signed decimal number.
std::optional<std::int64_t> parse_int(std::string_view s) noexcept {
    s = trim(s);
    std::int64_t v = 0;
    const auto [end, err] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (err != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
    return v;
}

std::optional<std::size_t> whole_processors(std::int64_t quota, std::int64_t period) noexcept {
    if (quota <= 0 || period <= 0) return std::nullopt;
    return std::max<std::size_t>(1, static_cast<std::size_t>(quota / period));
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = s.find(sep);
        parts.push_back(s.substr(0, at));
        if (at == std::string_view::npos) return parts;
        s.remove_prefix(at + 1);
    }
}

// mountinfo writes blanks, tabs, newlines and backslashes as \ooo.
std::string unescape_octal(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto octal = [&](std::size_t k) { return s[k] >= '0' && s[k] <= '7'; };
        if (s[i] == '\\' && i + 3 < s.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out.push_back(static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

struct Mount {
    std::string root;   // the directory of the hierarchy mounted here
    std::string point;  // where it is mounted
};

// The cgroup v1 mount carrying the cpu controller, or the v2 mount.
std::optional<Mount> find_mount(std::string_view mountinfo, bool v2) {
    for (std::string_view line : split(mountinfo, '\n')) {
        // id parent major:minor root point options [optional...] - fstype source superoptions
        const std::size_t dash = line.find(" - ");
        if (dash == std::string_view::npos) continue;
        const std::vector<std::string_view> head = split(line.substr(0, dash), ' ');
        const std::vector<std::string_view> tail = split(line.substr(dash + 3), ' ');
        if (head.size() < 5 || tail.size() < 3) continue;
        if (v2) {
            if (tail[0] != "cgroup2") continue;
        } else {
            if (tail[0] != "cgroup") continue;
            const std::vector<std::string_view> opts = split(trim(tail[2]), ',');
            if (std::find(opts.begin(), opts.end(), "cpu") == opts.end()) continue;
        }
        return Mount{unescape_octal(head[3]), unescape_octal(head[4])};
    }
    return std::nullopt;
}

// The directory of cgroup `path` under `mount`.
std::string dir_under(const Mount& mount, std::string_view path) {
    if (mount.root == "/") return mount.point + std::string(path == "/" ? "" : path);
    if (path.substr(0, mount.root.size()) == mount.root) {
        return mount.point + std::string(path.substr(mount.root.size()));
    }
    return mount.point;  // outside the mounted part (another namespace): use its top
}

#if defined(__linux__)

// A file descriptor closed on scope exit.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;  // open descriptor, or negative
};

// Plain system calls into a string grown by this library's own code: a
// stream would hand over a buffer that libstdc++'s out-of-line code had
// allocated, to be freed by whatever operator delete this library is linked
// with (the module's allocation-failure test build has its own).
std::optional<std::string> read_file(const std::string& path) {
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return std::nullopt;
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(file.get(), chunk, sizeof chunk);
        if (got > 0) {
            text.append(chunk, static_cast<std::size_t>(got));
        } else if (got == 0) {
            return text;
        } else if (errno != EINTR) {
            return std::nullopt;
        }
    }
}

#endif

}  // namespace

std::optional<std::size_t> from_cgroup_v1(std::string_view quota_us, std::string_view period_us) noexcept {
    const auto quota = parse_int(quota_us);
    const auto period = parse_int(period_us);
    if (!quota || !period) return std::nullopt;
    return whole_processors(*quota, *period);
}

std::optional<std::size_t> from_cgroup_v2(std::string_view cpu_max) noexcept {
    cpu_max = trim(cpu_max);
    const std::size_t blank = cpu_max.find(' ');
    const std::string_view limit_text = cpu_max.substr(0, blank);
    if (limit_text == "max") return std::nullopt;
    const auto quota = parse_int(limit_text);
    // The period may be left out; the kernel's default is 100000 us.
    constexpr std::int64_t kDefaultPeriodUs = 100000;
    const auto period = blank == std::string_view::npos ? std::optional<std::int64_t>(kDefaultPeriodUs)
                                                        : parse_int(cpu_max.substr(blank + 1));
    if (!quota || !period) return std::nullopt;
    return whole_processors(*quota, *period);
}

CgroupDirs find_cgroup_dirs(std::string_view proc_self_cgroup, std::string_view mountinfo) {
    CgroupDirs dirs;
    for (std::string_view line : split(proc_self_cgroup, '\n')) {
        // hierarchy-id:controllers:path
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = trim(line.substr(second + 1));
        if (line.substr(0, first) == "0" && controllers.empty()) {
            if (auto mount = find_mount(mountinfo, true)) dirs.v2 = dir_under(*mount, path);
            continue;
        }
        const std::vector<std::string_view> names = split(controllers, ',');
        if (std::find(names.begin(), names.end(), "cpu") == names.end()) continue;
        if (auto mount = find_mount(mountinfo, false)) dirs.v1 = dir_under(*mount, path);
    }
    return dirs;
}

std::size_t limit(std::size_t processors, std::optional<std::size_t> quota) noexcept {
    const std::size_t p = quota ? std::min(processors, *quota) : processors;
    return std::max<std::size_t>(p, 1);
}

#if defined(__linux__)
std::optional<std::size_t> read_current() {
    const auto cgroup = read_file("/proc/self/cgroup");
    const auto mountinfo = read_file("/proc/self/mountinfo");
    if (!cgroup || !mountinfo) return std::nullopt;
    const CgroupDirs dirs = find_cgroup_dirs(*cgroup, *mountinfo);

    std::optional<std::size_t> quota;
    const auto take = [&quota](std::optional<std::size_t> q) {
        if (q && (!quota || *q < *quota)) quota = q;
    };
    if (dirs.v2) {
        if (const auto max = read_file(*dirs.v2 + "/cpu.max")) take(from_cgroup_v2(*max));
    }
    if (dirs.v1) {
        const auto q = read_file(*dirs.v1 + "/cpu.cfs_quota_us");
        const auto p = read_file(*dirs.v1 + "/cpu.cfs_period_us");
        if (q && p) take(from_cgroup_v1(*q, *p));
    }
    return quota;
}
#endif

}  // namespace velk::cpu_quota
