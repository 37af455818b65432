#include "word_wait.hpp"

#if defined(__linux__) && !defined(VELK_PORTABLE_WAIT)
#define VELK_FUTEX 1
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace velk::word_wait {

#if VELK_FUTEX

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "a futex word is a plain 32-bit integer");

void wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr,
              nullptr, 0);
}

void wake_one(std::atomic<std::uint32_t>& word) noexcept {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

#else

void wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
    word.wait(expected, std::memory_order_acquire);
}

void wake_one(std::atomic<std::uint32_t>& word) noexcept { word.notify_one(); }

#endif

}  // namespace velk::word_wait
