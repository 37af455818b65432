// Lenient UTF-8 decoding, one character at a time, for the escaped text form.
#pragma once

#include <cstddef>
#include <string_view>

namespace velk::detail {

// One step of UTF-8 decoding.
struct Decoded {
    char32_t cp;       // the scalar value; only meaningful when valid
    std::size_t size;  // bytes consumed (at least 1)
    bool valid;        // false: `size` bytes form a maximal ill-formed subsequence
};

// Decodes the sequence starting at s[i] (i < s.size()). Never reads past the
// end. An invalid sequence consumes its longest prefix that could still have
// begun a valid one (at least one byte), so every broken sequence turns into
// exactly one replacement and the next valid character is not swallowed.
Decoded decode_one(std::string_view s, std::size_t i) noexcept;

}  // namespace velk::detail
