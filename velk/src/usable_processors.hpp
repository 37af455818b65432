// How many processors this process may use: the one home of that service.
#pragma once

#include <cstddef>

namespace velk {

// On Linux the processors in this thread's affinity mask (else the ones
// online), limited by the cgroup CPU quota; elsewhere
// std::thread::hardware_concurrency. At least 1.
std::size_t usable_processors();

}  // namespace velk
