// SipHash-1-3: the keyed 64-bit hash behind the variable store.
//
// One compression round per 8-byte block and three finalisation rounds: the
// short-input variant that trades some cryptographic margin for speed, which
// is what a hash table keyed against flooding needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <array>

#include "velk/value.hpp"

namespace velk {

// The 128-bit hash key as two little-endian 64-bit words.
struct SipKey {
    std::uint64_t k0;  // key bytes 0..7
    std::uint64_t k1;  // key bytes 8..15
};

// SipHash-1-3 of `len` bytes at `data`.
std::uint64_t siphash13(SipKey key, const void* data, std::size_t len) noexcept;

// SipHash-1-3 of an identifier's hash input, computed without building it:
// the kind index (U 0, S 1) as a pointer-sized little-endian word, then a
// U's number as a 32-bit little-endian word, or an S's text and 0xFF.
std::uint64_t hash_identifier(SipKey key, const Identifier& id) noexcept;

// hash_identifier under one fixed key, with the state after the kind word
// (the first block of every identifier's input) computed once per kind: a
// map hashes every key it is handed under the same key.
class IdentifierHasher {
public:
    explicit IdentifierHasher(SipKey key) noexcept;
    std::uint64_t operator()(const Identifier& id) const noexcept;
    SipKey key() const noexcept { return key_; }

private:
    SipKey key_;
    std::array<std::array<std::uint64_t, 4>, 2> after_kind_;  // state words by identifier kind
};

}  // namespace velk
