// The byte form of an identifier's hash input, spelled out for the tests
// that check the store's hasher against it (the hasher never builds it).
#include <climits>
#include <cstdint>

#include "identifier_hash.hpp"
#include "velk/value.hpp"

namespace velk {
namespace {

void append_le(std::string& out, std::uint64_t word, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) out.push_back(static_cast<char>(word >> (CHAR_BIT * i)));
}

}  // namespace

std::string Identifier::hash_input() const {
    std::string out;
    append_le(out, static_cast<std::uint64_t>(kind()), sizeof(std::uintptr_t));
    if (is_u()) {
        append_le(out, as_u(), sizeof(std::uint32_t));
    } else {
        out += as_s();
        out.push_back(static_cast<char>(detail::kTextEnd));
    }
    return out;
}

}  // namespace velk
