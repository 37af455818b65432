// A host's way into a long run: a run calls the poll it is given between
// nodes, on a machine with limits every kPollInterval steps or fewer (as
// max_steps counts them), on one without every kPollInterval ticks or
// fewer, a tick covering at most 4 statements and 15 composite nodes of each
// (texts counted by their bytes). The poll
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

// Steps between two polls: a few dozen microseconds of integer work, a few
// milliseconds at most without limits.
inline constexpr std::uint64_t kPollInterval = 4096;

}  // namespace velk
