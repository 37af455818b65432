// The debug text form of identifiers and values, as shown in failure messages
// and in the printed form of a machine: U(42), S("counter"), Null,
// Boolean(true), String("a"), Number(Int(5)), Number(Float(1.0)).
#pragma once

#include <string>
#include <string_view>

#include "velk/value.hpp"

namespace velk {

// Appends the body of a quoted text, without the quotation marks: `"` and `\`
// are backslash-escaped; tab, CR, LF and NUL become \t \r \n \0; any other
// grapheme extender or non-printable character becomes \u{hex}; everything
// else is copied unchanged. Invalid UTF-8 is written as \u{fffd} per maximal
// ill-formed subsequence.
void append_escaped(std::string& out, std::string_view utf8);

void append_debug(std::string& out, const Identifier& id);
void append_debug(std::string& out, const Value& v);

// The shortest text that reads back to the same double: plain decimal with at
// least one fractional digit when |x| is 0 or in [1e-4, 1e16), otherwise
// exponent form (1e16, 1.5e-5); NaN, inf and -inf for the special values.
void append_float(std::string& out, double x);

std::string debug_text(const Identifier& id);
std::string debug_text(const Value& v);

}  // namespace velk
