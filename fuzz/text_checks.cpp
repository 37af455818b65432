#include "text_checks.hpp"

#include "failures.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

namespace velk::fuzz {

namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;
// Bounds of the magnitudes printed in plain decimal: [1e-4, 1e16).
constexpr double kPlainMin = 1e-4;
constexpr double kPlainLimit = 1e16;

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
bool is_surrogate(char32_t cp) noexcept { return cp >= 0xD800 && cp <= 0xDFFF; }

// One well-formed UTF-8 character at the start of `s`: its code point and
// length, or nothing.
struct Utf8Char {
    char32_t cp;
    std::size_t size;
};
std::optional<Utf8Char> decode_utf8(std::string_view s) noexcept {
    if (s.empty()) return std::nullopt;
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = b(0);
    std::size_t len;
    char32_t cp;
    if (lead < 0x80) {
        return Utf8Char{lead, 1};
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        cp = lead & 0x07;
    } else {
        return std::nullopt;
    }
    if (s.size() < len) return std::nullopt;
    for (std::size_t k = 1; k < len; ++k) {
        if ((b(k) & 0xC0) != 0x80) return std::nullopt;
        cp = cp << 6 | (b(k) & 0x3F);
    }
    static constexpr std::array<char32_t, 5> kMinForLength = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMinForLength[len] || cp > kMaxCodePoint || is_surrogate(cp)) return std::nullopt;
    return Utf8Char{cp, len};
}

// A reader over the text that records the first problem it meets.
class Cursor {
public:
    explicit Cursor(std::string_view text) noexcept : text_(text) {}

    bool at_end() const noexcept { return pos_ == text_.size(); }
    std::size_t pos() const noexcept { return pos_; }
    std::string_view rest() const noexcept { return text_.substr(pos_); }
    std::string_view since(std::size_t start) const noexcept { return text_.substr(start, pos_ - start); }

    bool eat(std::string_view token) noexcept {
        if (rest().substr(0, token.size()) != token) return false;
        pos_ += token.size();
        return true;
    }
    bool expect(std::string_view token) {
        return eat(token) || fail("expected \"" + std::string(token) + "\"");
    }
    bool fail(std::string why) {
        if (problem.empty()) problem = why + " at byte " + std::to_string(pos_);
        return false;
    }

    // Any number of decimal digits; how many.
    std::size_t skip_digits() noexcept {
        const std::size_t start = pos_;
        while (!at_end() && is_digit(text_[pos_])) ++pos_;
        return pos_ - start;
    }

    // Decimal digits, no leading zero unless the number is 0; the text read.
    std::string_view digits() {
        const std::size_t start = pos_;
        skip_digits();
        const std::string_view d = since(start);
        if (d.empty()) fail("expected digits");
        else if (d.size() > 1 && d[0] == '0') fail("leading zero");
        return d;
    }

    // The body of a quoted text up to (not including) the closing quote,
    // appended to `out` with its escapes undone.
    bool quoted_body(std::string& out) {
        while (!at_end() && text_[pos_] != '"') {
            if (!(text_[pos_] == '\\' ? escape(out) : raw_character(out))) return false;
        }
        return !at_end() || fail("unterminated quoted text");
    }

    std::string problem;  // the first problem found, empty if none

private:
    bool escape(std::string& out) {
        ++pos_;  // the backslash
        if (at_end()) return fail("backslash at the end");
        switch (text_[pos_++]) {
            case '"': out += '"'; return true;
            case '\\': out += '\\'; return true;
            case 't': out += '\t'; return true;
            case 'r': out += '\r'; return true;
            case 'n': out += '\n'; return true;
            case '0': out += '\0'; return true;
            case 'u': break;
            default: return fail("unknown escape");
        }
        if (!eat("{")) return fail("expected { after \\u");
        const std::size_t start = pos_;
        while (!at_end() && (is_digit(text_[pos_]) || (text_[pos_] >= 'a' && text_[pos_] <= 'f'))) ++pos_;
        const std::string_view hex = since(start);
        if (hex.empty() || hex.size() > 6 || hex[0] == '0') return fail("bad \\u{} digits");
        std::uint32_t cp = 0;
        std::from_chars(hex.data(), hex.data() + hex.size(), cp, 16);
        if (cp > kMaxCodePoint || is_surrogate(cp)) return fail("\\u{} of no scalar value");
        // Printable ASCII (the blank included) stands for itself, and tab,
        // CR and LF have their short escapes.
        if ((cp >= 0x20 && cp < 0x7F) || cp == '\t' || cp == '\r' || cp == '\n') {
            return fail("\\u{} where the character or a short escape belongs");
        }
        append_utf8(out, cp);
        return expect("}");
    }

    // One UTF-8 encoded character that is not a control character.
    bool raw_character(std::string& out) {
        const std::optional<Utf8Char> c = decode_utf8(rest());
        if (!c) return fail("invalid UTF-8");
        if (c->cp < 0x20 || (c->cp >= 0x7F && c->cp <= 0x9F)) return fail("raw control character");
        out.append(text_.substr(pos_, c->size));
        pos_ += c->size;
        return true;
    }

    std::string_view text_;  // the whole text read
    std::size_t pos_ = 0;    // next byte
};

std::optional<Identifier> read_identifier(Cursor& c) {
    if (c.eat("U(")) {
        const std::string_view d = c.digits();
        std::uint64_t n = 0;
        const auto [end, ec] = std::from_chars(d.data(), d.data() + d.size(), n);
        if (ec != std::errc() || n > std::numeric_limits<std::uint32_t>::max()) {
            c.fail("U() out of range");
            return std::nullopt;
        }
        if (!c.expect(")")) return std::nullopt;
        return Identifier::u(static_cast<std::uint32_t>(n));
    }
    std::string text;
    if (!c.expect("S(\"") || !c.quoted_body(text) || !c.expect("\")")) return std::nullopt;
    return Identifier::s(std::move(text));
}

std::optional<Value> read_value(Cursor& c) {
    if (c.eat("Null")) return Value::null();
    if (c.eat("Boolean(true)")) return Value::boolean(true);
    if (c.eat("Boolean(false)")) return Value::boolean(false);
    if (c.eat("String(\"")) {
        std::string text;
        if (!c.quoted_body(text) || !c.expect("\")")) return std::nullopt;
        return Value::string(std::move(text));
    }
    if (c.eat("Number(Int(")) {
        const std::size_t start = c.pos();
        c.eat("-");
        c.digits();
        const std::string_view t = c.since(start);
        std::int64_t i = 0;
        const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), i);
        if (ec != std::errc() || end != t.data() + t.size() || t == "-0") {
            c.fail("bad Int");
            return std::nullopt;
        }
        if (!c.expect("))")) return std::nullopt;
        return Value::number(Number::from_int(i));
    }
    if (!c.expect("Number(Float(")) return std::nullopt;
    const std::size_t close = c.rest().find("))");
    if (close == std::string_view::npos) {
        c.fail("unterminated Float");
        return std::nullopt;
    }
    const std::string_view body = c.rest().substr(0, close);
    const std::optional<double> x = read_float_text(body);
    if (!x) {
        c.fail("bad Float text \"" + std::string(body) + "\"");
        return std::nullopt;
    }
    c.eat(body);
    c.eat("))");
    return Value::number(Number::from_float(*x));
}

}  // namespace

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::optional<double> read_float_text(std::string_view t) {
    if (t == "NaN") return std::numeric_limits<double>::quiet_NaN();
    if (t == "inf") return std::numeric_limits<double>::infinity();
    if (t == "-inf") return -std::numeric_limits<double>::infinity();
    Cursor c(t);
    c.eat("-");
    const std::string_view lead = c.digits();
    bool exponent_form = false;
    if (c.eat(".")) {
        if (c.skip_digits() == 0) return std::nullopt;
    } else if (c.at_end()) {
        return std::nullopt;  // plain form needs a fractional digit
    }
    if (c.eat("e")) {
        exponent_form = true;
        if (lead.size() != 1 || lead == "0") return std::nullopt;  // d[.ddd]e[-]x
        c.eat("-");
        c.digits();
    }
    if (!c.at_end() || !c.problem.empty()) return std::nullopt;
    double x = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), x);
    if (ec != std::errc() || end != t.data() + t.size()) return std::nullopt;
    const double m = std::fabs(x);
    const bool plain_range = m == 0.0 || (m >= kPlainMin && m < kPlainLimit);
    if (plain_range == exponent_form) return std::nullopt;
    return x;
}

MachineText read_machine_text(std::string_view text) {
    MachineText out;
    Cursor c(text);
    if (c.expect("Machine { vars: {") && !c.eat("} }")) {
        for (;;) {
            const std::size_t start = c.pos();
            if (!read_identifier(c) || !c.expect(": ") || !read_value(c)) break;
            out.entries.emplace_back(c.since(start));
            if (c.eat(", ")) continue;
            c.expect("} }");
            break;
        }
    }
    if (c.problem.empty() && !c.at_end()) c.fail("text after the closing braces");
    out.problem = std::move(c.problem);
    return out;
}

std::optional<Binding> read_binding(std::string_view entry) {
    Cursor c(entry);
    std::optional<Identifier> id = read_identifier(c);
    if (!id || !c.expect(": ")) return std::nullopt;
    std::optional<Value> v = read_value(c);
    if (!v || !c.at_end()) return std::nullopt;
    return Binding{std::move(*id), std::move(*v)};
}

std::optional<Identifier> read_identifier_form(std::string_view text) {
    Cursor c(text);
    std::optional<Identifier> id = read_identifier(c);
    if (!c.at_end()) return std::nullopt;
    return id;
}

bool is_language_message(std::string_view message) {
    const std::string_view not_found = failures::kNotFound.message;
    if (message.starts_with(not_found)) return read_identifier_form(message.substr(not_found.size())).has_value();
    for (const Failure& f : failures::kLanguage)
        if (message == f.message) return true;
    return false;
}

bool is_valid_utf8(std::string_view text) {
    while (!text.empty()) {
        const std::optional<Utf8Char> c = decode_utf8(text);
        if (!c) return false;
        text.remove_prefix(c->size);
    }
    return true;
}

}  // namespace velk::fuzz
