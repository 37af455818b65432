// The escaped body of a quoted text in the debug form.
#include <charconv>
#include <cstdint>

#include "utf8_decode.hpp"
#include "velk/debug_text.hpp"
#include "unicode.hpp"

namespace velk {
namespace {

void append_unicode_escape(std::string& out, char32_t cp) {
    char hex[8];  // at most six hex digits for a code point
    const auto [end, ec] = std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(cp), 16);
    (void)ec;  // cannot overflow: eight digits hold any 32-bit value
    out += "\\u{";
    out.append(hex, end);
    out += '}';
}

}  // namespace

void append_escaped(std::string& out, std::string_view utf8) {
    std::size_t i = 0;
    while (i < utf8.size()) {
        const detail::Decoded d = detail::decode_one(utf8, i);
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

}  // namespace velk
