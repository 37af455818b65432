#include "system_random.hpp"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// windows.h first: bcrypt.h uses its types.
#include <bcrypt.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#else
#include <sys/random.h>  // getentropy on macOS
#endif
#endif

#include <algorithm>

namespace velk {
namespace {

#if defined(__linux__)

// The system call itself: glibc's getrandom wrapper (2.25) is newer than the
// oldest glibc the wheels support.
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

#endif

}  // namespace

bool fill_system_random(unsigned char* buf, std::size_t len) noexcept {
#if defined(__linux__)
    return fill_from_getrandom(buf, len) || fill_from_urandom(buf, len);
#elif defined(_WIN32)
    for (std::size_t done = 0; done < len;) {
        const auto part = static_cast<ULONG>(std::min<std::size_t>(len - done, 1u << 30));
        if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, buf + done, part, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
            return false;
        }
        done += part;
    }
    return true;
#else
    constexpr std::size_t kMostPerCall = 256;  // getentropy's limit
    for (std::size_t done = 0; done < len;) {
        const std::size_t part = std::min(len - done, kMostPerCall);
        if (::getentropy(buf + done, part) != 0) return false;
        done += part;
    }
    return true;
#endif
}

}  // namespace velk
