// What one machine lets a program use: the bounds a host sets before it runs
// rules it did not write. A tree has no loops, so time is linear in its
// expanded size; memory (texts made by joining) and steps (nodes evaluated,
// shared subtrees once per visit) are what a rule can exhaust.
#pragma once

#include <cstdint>
#include <limits>

namespace velk {

struct Limits {
    // No bound: no count can reach it.
    static constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

    std::uint64_t max_text = kUnlimited;   // bytes of the longest text one join may make
    std::uint64_t max_bytes = kUnlimited;  // bytes of text the variables may hold at once
                                           // (and, apart, the joins of one statement)
    std::uint64_t max_steps = kUnlimited;  // statements and expression nodes one run evaluates

    bool any() const noexcept { return (max_text & max_bytes & max_steps) != kUnlimited; }
    friend bool operator==(const Limits&, const Limits&) = default;
};

}  // namespace velk
