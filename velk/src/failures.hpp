// Every failure the core raises: the message the user reads and the
// position the fault report names for it. Raising sites, tests and fuzz
// checkers all read this catalogue; nothing else spells a message out.
//
// The positions are fixed. They are the ones the fault report has always
// shown for each failure, and readers of reports match on them: they are a
// contract of the report, not lines of these sources, and they do not move
// when the code does.
#pragma once

#include <cstdint>
#include <string_view>

#include "velk/eval_error.hpp"

namespace velk {

struct Failure {
    const char* message;   // the whole message, or its fixed beginning (kNotFound)
    SourcePosition where;  // what the fault report names
};

namespace failures {

// Followed by the identifier's debug form, e.g. S("x").
inline constexpr Failure kNotFound{"Value cannot be found: ", {kCoreSourceFile, 234, 30}};
inline constexpr Failure kCondition{"Expected deduced condition to be a bool, got other type",
                                    {kCoreSourceFile, 247, 21}};
inline constexpr Failure kStringOperator{"Unknown binary operation for Value::String", {kCoreSourceFile, 283, 26}};
inline constexpr Failure kOperandKinds{"Binary operator for unknown type", {kCoreSourceFile, 291, 17}};
inline constexpr Failure kNotOperand{"The not expression must be used on a boolean value", {kCoreSourceFile, 303, 17}};
inline constexpr Failure kGreaterThanOperands{"Both left-hand and right-hand side values must be a number",
                                              {kCoreSourceFile, 309, 17}};
inline constexpr Failure kLessThanOperands{"Both left-hand and right-hand side values must be a number",
                                           {kCoreSourceFile, 321, 17}};
inline constexpr Failure kDivideByZero{"attempt to divide by zero", {kCoreSourceFile, 103, 5}};
inline constexpr Failure kDivideOverflow{"attempt to divide with overflow", {kCoreSourceFile, 103, 5}};

// The limits a host may set on a machine (velk/limits.hpp), each followed
// by the limit's value in decimal. They name the limit, not a line.
inline constexpr const char* kLimitsSourceFile = "velk/limits";
inline constexpr Failure kTextLimit{"Limit exceeded: max_text=", {kLimitsSourceFile, 1, 0}};
inline constexpr Failure kBytesLimit{"Limit exceeded: max_bytes=", {kLimitsSourceFile, 2, 0}};
inline constexpr Failure kStepsLimit{"Limit exceeded: max_steps=", {kLimitsSourceFile, 3, 0}};

// The store's own checks, which no program can reach. Their text names the
// shard count `shard_amount`: the words of a message are fixed.
inline constexpr Failure kTooFewShards{"assertion failed: shard_amount > 1", {kCoreSourceFile, 82, 9}};
inline constexpr Failure kShardsNotPowerOfTwo{"assertion failed: shard_amount.is_power_of_two()",
                                              {kCoreSourceFile, 83, 9}};
inline constexpr Failure kReaderOverflow{"reader count overflowed", {kCoreSourceFile, 1002, 13}};

// The failures a program can meet.
inline constexpr Failure kLanguage[] = {
    kNotFound,         kCondition,    kStringOperator, kOperandKinds, kNotOperand, kGreaterThanOperands,
    kLessThanOperands, kDivideByZero, kDivideOverflow,
};

}  // namespace failures

// Throws EvalError with the failure's message (followed by `detail`) and
// position. Out of line and cold: raising sites stay small.
[[noreturn, gnu::cold]] void raise(const Failure& failure);
[[noreturn, gnu::cold]] void raise(const Failure& failure, std::string_view detail);

}  // namespace velk
