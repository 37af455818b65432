#include "unicode.hpp"

#include <algorithm>

namespace velk {
namespace {

bool in_ranges(std::span<const CodePointRange> ranges, char32_t cp) noexcept {
    // The first range that ends at or after cp is the only one that can hold it.
    auto it = std::lower_bound(ranges.begin(), ranges.end(), cp,
                               [](const CodePointRange& r, char32_t c) { return r.last < c; });
    return it != ranges.end() && it->first <= cp;
}

}  // namespace

bool is_grapheme_extend(char32_t cp) noexcept { return in_ranges(grapheme_extend_ranges(), cp); }

bool is_printable(char32_t cp) noexcept {
    // The tables end at kMaxCodePoint; nothing beyond is a character.
    return !in_ranges(not_printable_ranges(), cp) && cp <= kMaxCodePoint;
}

}  // namespace velk
