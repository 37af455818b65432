// Lenient UTF-8 decoding: each maximal ill-formed subsequence is one
// replacement.
#include "utf8_decode.hpp"

namespace velk::detail {
namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

}  // namespace

Decoded decode_one(std::string_view s, std::size_t i) noexcept {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return {lead, 1, true};

    std::size_t length;
    char32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0F;
        if (lead == 0xE0) lo = 0xA0;  // no overlong forms
        if (lead == 0xED) hi = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07;
        if (lead == 0xF0) lo = 0x90;  // no overlong forms
        if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return {kReplacementCharacter, 1, false};  // stray continuation or C0/C1/F5..FF
    }

    for (std::size_t k = 1; k < length; ++k) {
        if (i + k >= s.size()) return {kReplacementCharacter, k, false};
        const unsigned char b = byte(i + k);
        const unsigned char min = k == 1 ? lo : 0x80;
        const unsigned char max = k == 1 ? hi : 0xBF;
        if (b < min || b > max) return {kReplacementCharacter, k, false};
        cp = (cp << 6) | (b & 0x3F);
    }
    return {cp, length, true};
}

}  // namespace velk::detail
