#include "velk/debug_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <system_error>

#include "velk/unicode.hpp"

namespace velk {
namespace {

// One step of UTF-8 decoding.
struct Decoded {
    char32_t cp;       // the scalar value; only meaningful when valid
    std::size_t size;  // bytes consumed (at least 1)
    bool valid;        // false: `size` bytes form a maximal ill-formed subsequence
};

constexpr char32_t kReplacementCharacter = 0xFFFD;

// Decodes the sequence starting at s[i] (i < s.size()). Never reads past the
// end. An invalid sequence consumes its longest prefix that could still have
// begun a valid one (at least one byte), so every broken sequence turns into
// exactly one replacement and the next valid character is not swallowed.
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

void append_unicode_escape(std::string& out, char32_t cp) {
    char hex[8];  // at most six hex digits for a code point
    const auto [end, ec] = std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(cp), 16);
    (void)ec;  // cannot overflow: eight digits hold any 32-bit value
    out += "\\u{";
    out.append(hex, end);
    out += '}';
}

// Appends `digits` (no sign, no point) read as d.ddd × 10^exponent.
void append_plain_decimal(std::string& out, std::string_view digits, int exponent) {
    const int integer_digits = exponent + 1;
    const int n = static_cast<int>(digits.size());
    if (integer_digits <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-integer_digits), '0');
        out += digits;
    } else if (integer_digits >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(integer_digits - n), '0');
        out += ".0";
    } else {
        out += digits.substr(0, static_cast<std::size_t>(integer_digits));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(integer_digits));
    }
}

// Bounds of the magnitudes that print in plain decimal: [1e-4, 1e16).
constexpr double kPlainMin = 1e-4;
constexpr double kPlainLimit = 1e16;

// "-1.7976931348623157e+308" is the longest shortest-form scientific text.
constexpr std::size_t kScientificBuffer = 32;
static_assert(kScientificBuffer > sizeof "-1.7976931348623157e+308", "room for any double");

}  // namespace

void append_escaped(std::string& out, std::string_view utf8) {
    std::size_t i = 0;
    while (i < utf8.size()) {
        const Decoded d = decode_one(utf8, i);
        switch (d.cp) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\0': out += "\\0"; break;
            default:
                if (!d.valid || is_grapheme_extend(d.cp) || !is_printable(d.cp)) {
                    append_unicode_escape(out, d.cp);
                } else {
                    out.append(utf8.substr(i, d.size));
                }
        }
        i += d.size;
    }
}

void append_float(std::string& out, double x) {
    if (std::isnan(x)) {
        out += "NaN";
        return;
    }
    if (std::signbit(x)) out += '-';
    const double magnitude = std::fabs(x);
    if (std::isinf(magnitude)) {
        out += "inf";
        return;
    }
    if (magnitude == 0.0) {
        out += "0.0";
        return;
    }

    // Shortest round-trip digits, as d[.ddd]e±XX.
    char buf[kScientificBuffer];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    (void)ec;  // the buffer holds any double (static_assert above)
    const std::string_view text(buf, static_cast<std::size_t>(end - buf));
    const std::size_t e_pos = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e_pos))
        if (c != '.') digits += c;
    std::string_view exp_text = text.substr(e_pos + 1);
    if (exp_text.front() == '+') exp_text.remove_prefix(1);
    int exponent = 0;
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

    if (magnitude >= kPlainMin && magnitude < kPlainLimit) {
        append_plain_decimal(out, digits, exponent);
        return;
    }
    out += digits[0];
    if (digits.size() > 1) {
        out += '.';
        out.append(digits, 1);
    }
    out += 'e';
    char exp_buf[8];  // "-324" at most
    const auto exp_end = std::to_chars(exp_buf, exp_buf + sizeof exp_buf, exponent).ptr;
    out.append(exp_buf, exp_end);
}

void append_debug(std::string& out, const Identifier& id) {
    if (id.is_u()) {
        out += "U(";
        out += std::to_string(id.as_u());
    } else {
        out += "S(\"";
        append_escaped(out, id.as_s());
        out += '"';
    }
    out += ')';
}

void append_debug(std::string& out, const Value& v) {
    switch (v.kind()) {
        case Value::Kind::Null:
            out += "Null";
            return;
        case Value::Kind::Boolean:
            out += v.as_boolean() ? "Boolean(true)" : "Boolean(false)";
            return;
        case Value::Kind::String:
            out += "String(\"";
            append_escaped(out, v.as_string());
            out += "\")";
            return;
        case Value::Kind::Number: {
            const Number& n = v.as_number();
            if (n.is_int()) {
                out += "Number(Int(";
                out += std::to_string(n.as_int());
            } else {
                out += "Number(Float(";
                append_float(out, n.as_float());
            }
            out += "))";
            return;
        }
    }
}

std::string debug_text(const Identifier& id) {
    std::string out;
    append_debug(out, id);
    return out;
}

std::string debug_text(const Value& v) {
    std::string out;
    append_debug(out, v);
    return out;
}

}  // namespace velk
