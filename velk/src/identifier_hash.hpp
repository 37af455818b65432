// Identifier hashing for a chosen width of the kind word.
#pragma once

#include <cstddef>
#include <cstdint>

#include "velk/siphash.hpp"

namespace velk::detail {

// Closes an S identifier's text in its hash input; never occurs in UTF-8.
inline constexpr unsigned char kTextEnd = 0xFF;

// SipHash-1-3 of an identifier's hash input as a platform with
// `kind_word_bytes`-byte pointers (4 or 8) would build it. hash_identifier
// uses this for the native width where it has no faster path; tests use it
// to cover the other width.
std::uint64_t hash_identifier_streamed(SipKey key, const Identifier& id,
                                       std::size_t kind_word_bytes) noexcept;

}  // namespace velk::detail
