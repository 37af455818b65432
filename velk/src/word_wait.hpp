// Sleeping until a 32-bit word changes, and waking a sleeper: the one home
// of the operating system's waiting service. Linux uses the futex directly;
// elsewhere (and on Linux in a VELK_PORTABLE_WAIT build, so that its tests
// run this path too) std::atomic's wait and notify, which each standard
// library maps onto its system's own (__ulock on macOS, WaitOnAddress on
// Windows).
#pragma once

#include <atomic>
#include <cstdint>

namespace velk::word_wait {

// Sleeps while `word` holds `expected`. May return early (a signal, a
// spurious wake): callers re-check.
void wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept;

// Wakes one thread sleeping on `word`.
void wake_one(std::atomic<std::uint32_t>& word) noexcept;

}  // namespace velk::word_wait
