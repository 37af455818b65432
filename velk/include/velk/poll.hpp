// A host's way into a long run: a run calls the poll it is given between
// nodes, every kPollInterval steps or fewer (a text operation counts its
// bytes, as under max_steps), on a machine with limits or without. The poll
// returns to let the run go on, or throws to stop it: whatever it throws
// leaves the run as it was thrown (no place is added), the statements run
// before keep their effects and the machine stays usable.
#pragma once

#include <cstdint>

namespace velk {

struct Poll {
    void (*check)(void* context) = nullptr;  // none: the run is never polled
    void* context = nullptr;

    explicit operator bool() const noexcept { return check != nullptr; }
    void operator()() const { check(context); }
};

// Steps between two polls: a few dozen microseconds of integer work.
inline constexpr std::uint64_t kPollInterval = 4096;

}  // namespace velk
