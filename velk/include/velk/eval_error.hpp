// The one failure of the language core. It is thrown, never returned, and
// carries the message (the whole of what it says) and, beside it, the source
// position of the check that failed, for the fault report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace velk {

struct SourcePosition {
    const char* file;    // static text
    std::uint32_t line;
    std::uint32_t column;
};

// The file name every language failure reports its position in.
inline constexpr const char* kCoreSourceFile = "crates/velk/src/lib";

// Where the failing statement of a run stands: its index in the list the run
// was given, then, for each `if` on the way in, the list it chose and the
// index there. Made only when a run fails.
struct PlaceStep {
    enum class List : std::uint8_t { Run, Then, Otherwise };
    List list;          // Run for the first step only
    std::size_t index;  // within that list
};
using Place = std::vector<PlaceStep>;

class EvalError : public std::exception {
public:
    EvalError(std::string message, SourcePosition where)
        : message_(std::move(message)), where_(where) {}

    const std::string& message() const noexcept { return message_; }
    const SourcePosition& where() const noexcept { return where_; }
    const char* what() const noexcept override { return message_.c_str(); }
    // Empty unless the failure left a run (velk::run).
    const Place& place() const noexcept { return place_; }
    Place& place() noexcept { return place_; }

private:
    std::string message_;   // exactly the text the user sees
    SourcePosition where_;  // diagnostics only, never part of the text
    Place place_;           // the failing statement's place in its run
};

}  // namespace velk
