// The calling thread's name and system id, as the fault report shows them:
// the one home of those operating-system services.
#pragma once

#include <cstddef>

namespace zarn {

// Room for a thread name: Linux allows 15 bytes, macOS 63.
inline constexpr std::size_t kThreadNameSize = 64;

// Writes this thread's name into `name` (kThreadNameSize bytes), or leaves
// `name` as it is when the system gives none.
void current_thread_name(char (&name)[kThreadNameSize]) noexcept;

// This thread's id as the system's tools show it: the kernel's thread id on
// Linux, the thread id on macOS and Windows.
long long current_thread_id() noexcept;

}  // namespace zarn
