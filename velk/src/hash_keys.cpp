// The per-thread key pair behind every store's hasher.
#include "hash_keys.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace velk {
namespace {

constexpr std::size_t kKeyBytes = 16;  // k0 and k1

// Fills `buf` from getrandom; false when that call is unavailable or fails.
// The system call itself: glibc's wrapper (2.25) is newer than the oldest
// glibc the wheels support.
bool fill_from_getrandom(unsigned char* buf, std::size_t len) noexcept {
    std::size_t done = 0;
    while (done < len) {
        const long n = ::syscall(SYS_getrandom, buf + done, len - done, 0u);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;  // ENOSYS on old kernels, for instance
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool fill_from_urandom(unsigned char* buf, std::size_t len) noexcept {
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = ::read(fd, buf + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return done == len;
}

SipKey random_key() noexcept {
    unsigned char bytes[kKeyBytes] = {};
    if (!fill_from_getrandom(bytes, sizeof bytes) && !fill_from_urandom(bytes, sizeof bytes)) {
        // No random source at all (a sandbox without /dev): keys still
        // differ between threads and runs, just not unpredictably.
        const auto now = static_cast<std::uint64_t>(
            std::chrono::steady_clock::now().time_since_epoch().count());
        const auto where = reinterpret_cast<std::uintptr_t>(&bytes);
        std::memcpy(bytes, &now, sizeof now);
        std::memcpy(bytes + sizeof now, &where, sizeof where);
    }
    SipKey key;
    std::memcpy(&key.k0, bytes, sizeof key.k0);
    std::memcpy(&key.k1, bytes + sizeof key.k0, sizeof key.k1);
    return key;
}

}  // namespace

namespace {

// This thread's key pair, made on its first store. Constant-initialised and
// in the initial-exec model: a machine made per request reads it directly,
// without the dynamic TLS resolver (the module is a shared library).
struct ThreadKeys {
    SipKey next;  // the pair the next store gets
    bool made;    // `next` has been drawn
};
[[gnu::tls_model("initial-exec")]] thread_local ThreadKeys t_keys{{0, 0}, false};

}  // namespace

SipKey take_thread_hash_key() noexcept {
    ThreadKeys& keys = t_keys;
    if (!keys.made) [[unlikely]] {
        keys.next = random_key();
        keys.made = true;
    }
    const SipKey current = keys.next;
    keys.next.k0 += 1;  // unsigned: wraps
    return current;
}

}  // namespace velk
