// The one failure of the language core. It is thrown, never returned, and
// carries the message (the whole of what it says) and, beside it, the source
// position of the check that failed, for the fault report.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace velk {

struct SourcePosition {
    const char* file;    // static text
    std::uint32_t line;
    std::uint32_t column;
};

// The file name every language failure reports its position in.
inline constexpr const char* kCoreSourceFile = "crates/velk/src/lib";

class EvalError : public std::exception {
public:
    EvalError(std::string message, SourcePosition where)
        : message_(std::move(message)), where_(where) {}

    const std::string& message() const noexcept { return message_; }
    const SourcePosition& where() const noexcept { return where_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;   // exactly the text the user sees
    SourcePosition where_;  // diagnostics only, never part of the text
};

}  // namespace velk
