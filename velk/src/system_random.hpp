// The operating system's random source: the one home of that service.
#pragma once

#include <cstddef>

namespace velk {

// Fills `buf` with `len` unpredictable bytes: getrandom (or /dev/urandom)
// on Linux, getentropy on macOS and the BSDs, the system's preferred
// generator on Windows. False when there is no working source.
bool fill_system_random(unsigned char* buf, std::size_t len) noexcept;

}  // namespace velk
