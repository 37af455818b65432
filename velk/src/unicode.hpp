// The two Unicode character properties the debug text form needs, looked up
// in tables generated from the Unicode Character Database
// (tools/gen_unicode_tables.py writes src/unicode_tables.cpp).
#pragma once

#include <span>

namespace velk {

// The highest Unicode code point.
inline constexpr char32_t kMaxCodePoint = 0x10FFFF;

// An inclusive range of code points.
struct CodePointRange {
    char32_t first;  // lowest code point in the range
    char32_t last;   // highest code point in the range, >= first
};

// True for a Grapheme_Extend code point (combining marks and the like).
bool is_grapheme_extend(char32_t cp) noexcept;

// False for general categories Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs (except the
// ASCII blank U+0020), and for anything above kMaxCodePoint; true otherwise.
bool is_printable(char32_t cp) noexcept;

// The generated tables behind the two predicates: sorted, disjoint, merged.
std::span<const CodePointRange> grapheme_extend_ranges() noexcept;
std::span<const CodePointRange> not_printable_ranges() noexcept;

// The Unicode version the tables were generated from, e.g. "15.0.0".
const char* unicode_version() noexcept;

}  // namespace velk
