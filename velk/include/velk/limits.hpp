// What one machine lets a program use: the bounds a host sets before it runs
// rules it did not write. A tree has no loops, so a run's work is what its
// steps count: nodes evaluated (shared subtrees once per visit) and the
// bytes of text it touches. Memory (texts made by joining) and steps are
// what a rule can exhaust.
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
    std::uint64_t max_steps = kUnlimited;  // steps one run takes (kBytesPerStep)

    bool any() const noexcept { return (max_text & max_bytes & max_steps) != kUnlimited; }
    friend bool operator==(const Limits&, const Limits&) = default;
};

// The steps of a run. Each statement and each expression node evaluated is
// one step. Work whose time grows with a text's length costs one more step
// for every whole kBytesPerStep bytes, charged before the work is done:
//   - a join (text + text): the length of the text it makes;
//   - == on two texts of equal length: that length (texts of different
//     lengths differ at once and cost nothing more);
//   - reading or binding a variable whose name is a text: the name's length
//     (the store hashes and compares it).
// Reading a variable that holds a text and binding a text share the text:
// they touch none of its bytes and cost nothing more. So a run's time is
// bounded by a constant times its steps, whatever its texts.
inline constexpr std::uint64_t kBytesPerStep = 64;

// The steps a text operation on `bytes` bytes adds to its node's step.
constexpr std::uint64_t text_steps(std::uint64_t bytes) noexcept { return bytes / kBytesPerStep; }

}  // namespace velk
