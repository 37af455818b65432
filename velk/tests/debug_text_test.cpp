#include "velk/debug_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "unicode.hpp"

namespace {

#include "unicode_expected_ranges.inc"

using velk::Identifier;
using velk::Number;
using velk::Value;

std::string escaped(std::string_view s) {
    std::string out;
    velk::append_escaped(out, s);
    return out;
}

std::string utf8(char32_t cp) {
    std::string s;
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (cp >> 18));
        s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return s;
}

bool is_surrogate(char32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

// The escaped form of one character, from the independent expectation.
class ExpectedEscape {
public:
    ExpectedEscape() : escaped_(velk::kMaxCodePoint + 1, false) {
        for (const auto& r : kExpectedNotPrintable)
            for (std::uint32_t cp = r[0]; cp <= r[1]; ++cp) escaped_[cp] = true;
        for (const auto& r : kExpectedGraphemeExtend)
            for (std::uint32_t cp = r[0]; cp <= r[1]; ++cp) escaped_[cp] = true;
    }

    std::string operator()(char32_t cp) const {
        switch (cp) {
            case U'"': return "\\\"";
            case U'\\': return "\\\\";
            case U'\t': return "\\t";
            case U'\r': return "\\r";
            case U'\n': return "\\n";
            case U'\0': return "\\0";
        }
        if (!escaped_[cp]) return utf8(cp);
        char buf[16];
        std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
        return buf;
    }

private:
    std::vector<bool> escaped_;  // by code point: written as \u{...}
};

TEST(AppendEscaped, EveryScalarValueAlone) {
    const ExpectedEscape expected;
    int mismatches = 0;
    for (char32_t cp = 0; cp <= velk::kMaxCodePoint; ++cp) {
        if (is_surrogate(cp)) continue;
        const std::string got = escaped(utf8(cp));
        if (got != expected(cp) && ++mismatches <= 10)
            ADD_FAILURE() << "U+" << std::hex << std::uint32_t{cp} << ": got " << got
                          << ", expected " << expected(cp);
    }
    EXPECT_EQ(mismatches, 0);
}

// One long text: the decoder must keep its place across every boundary.
TEST(AppendEscaped, AllScalarValuesInOneText) {
    const ExpectedEscape expected;
    std::string text, want;
    for (char32_t cp = 0; cp <= velk::kMaxCodePoint; ++cp) {
        if (is_surrogate(cp)) continue;
        text += utf8(cp);
        want += expected(cp);
    }
    EXPECT_TRUE(escaped(text) == want);
}

TEST(AppendEscaped, AppendsToExistingText) {
    std::string out = "S(\"";
    velk::append_escaped(out, "a\"b");
    EXPECT_EQ(out, "S(\"a\\\"b");
}

struct EscapeCase {
    std::string in;
    std::string out;
};

void PrintTo(const EscapeCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.in); }

class AppendEscapedCase : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(AppendEscapedCase, Escapes) { EXPECT_EQ(escaped(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(
    Texts, AppendEscapedCase,
    ::testing::Values(
        EscapeCase{"", ""},
        EscapeCase{"counter", "counter"},
        EscapeCase{"\"\\\n", "\\\"\\\\\\n"},
        EscapeCase{std::string("a\0b", 3), "a\\0b"},
        EscapeCase{"it's", "it's"},
        EscapeCase{"\x1b[0m", "\\u{1b}[0m"},
        EscapeCase{"e\xCC\x81", "e\\u{301}"},                             // e + combining acute
        EscapeCase{"\xD0\x9F\xD1\x80\xD0\xB8", "\xD0\x9F\xD1\x80\xD0\xB8"},  // Cyrillic
        EscapeCase{"\xE4\xB8\xAD\xE6\x96\x87", "\xE4\xB8\xAD\xE6\x96\x87"},  // CJK
        EscapeCase{"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},                  // emoji
        // A family emoji: the joiners are escaped, the people are not.
        EscapeCase{"\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9",
                   "\xF0\x9F\x91\xA8\\u{200d}\xF0\x9F\x91\xA9"},
        EscapeCase{"a\xC2\xA0" "b", "a\\u{a0}b"},
        EscapeCase{"\xE2\x80\xA8\xE2\x80\xA9", "\\u{2028}\\u{2029}"},
        EscapeCase{"\xF4\x8F\xBF\xBF", "\\u{10ffff}"}));

// Invalid UTF-8: each maximal ill-formed subsequence becomes one \u{fffd}.
INSTANTIATE_TEST_SUITE_P(
    InvalidUtf8, AppendEscapedCase,
    ::testing::Values(
        EscapeCase{"\x80", "\\u{fffd}"},                                    // stray continuation
        EscapeCase{"a\xFF" "b", "a\\u{fffd}b"},                             // never a lead byte
        EscapeCase{"\xC3", "\\u{fffd}"},                                    // cut at the end
        EscapeCase{"\xC3(", "\\u{fffd}("},                                  // lead without continuation
        EscapeCase{"\xF0\x9F\x98", "\\u{fffd}"},                            // truncated 4-byte form
        EscapeCase{"\xF0\x9F\x98" "A", "\\u{fffd}A"},
        EscapeCase{"\xC0\xAF", "\\u{fffd}\\u{fffd}"},                       // overlong '/'
        EscapeCase{"\xE0\x80\x80", "\\u{fffd}\\u{fffd}\\u{fffd}"},          // overlong NUL
        EscapeCase{"\xED\xA0\x80", "\\u{fffd}\\u{fffd}\\u{fffd}"},          // surrogate D800
        EscapeCase{"\xF4\x90\x80\x80", "\\u{fffd}\\u{fffd}\\u{fffd}\\u{fffd}"},  // above 10FFFF
        EscapeCase{"\xEF\xBF\xBD", "\xEF\xBF\xBD"}));                       // a real U+FFFD stays

TEST(AppendEscaped, NeverReadsPastTheView) {
    // The byte after the view would complete the character; it must not be read.
    const char bytes[] = "\xC3\xA9";
    EXPECT_EQ(escaped(std::string_view(bytes, 1)), "\\u{fffd}");
    const char four[] = "\xF0\x9F\x98\x80";
    EXPECT_EQ(escaped(std::string_view(four, 3)), "\\u{fffd}");
}

TEST(DebugText, Identifiers) {
    EXPECT_EQ(velk::debug_text(Identifier::u(0)), "U(0)");
    EXPECT_EQ(velk::debug_text(Identifier::u(42)), "U(42)");
    EXPECT_EQ(velk::debug_text(Identifier::u(4294967295u)), "U(4294967295)");
    EXPECT_EQ(velk::debug_text(Identifier::s("")), "S(\"\")");
    EXPECT_EQ(velk::debug_text(Identifier::s("counter")), "S(\"counter\")");
    EXPECT_EQ(velk::debug_text(Identifier::s("\"\\\n")), "S(\"\\\"\\\\\\n\")");
    EXPECT_EQ(velk::debug_text(Identifier::s("7")), "S(\"7\")");

    std::string out = "Value cannot be found: ";
    velk::append_debug(out, Identifier::s("x"));
    EXPECT_EQ(out, "Value cannot be found: S(\"x\")");
}

TEST(DebugText, Values) {
    const std::int64_t min = std::numeric_limits<std::int64_t>::min();
    const std::int64_t max = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(velk::debug_text(Value::null()), "Null");
    EXPECT_EQ(velk::debug_text(Value::boolean(true)), "Boolean(true)");
    EXPECT_EQ(velk::debug_text(Value::boolean(false)), "Boolean(false)");
    EXPECT_EQ(velk::debug_text(Value::string("a")), "String(\"a\")");
    EXPECT_EQ(velk::debug_text(Value::string("")), "String(\"\")");
    EXPECT_EQ(velk::debug_text(Value::string("tab\there\x7f")), "String(\"tab\\there\\u{7f}\")");
    EXPECT_EQ(velk::debug_text(Value::number(Number::from_int(5))), "Number(Int(5))");
    EXPECT_EQ(velk::debug_text(Value::number(Number::from_int(-5))), "Number(Int(-5))");
    EXPECT_EQ(velk::debug_text(Value::number(Number::from_int(min))), "Number(Int(-9223372036854775808))");
    EXPECT_EQ(velk::debug_text(Value::number(Number::from_int(max))), "Number(Int(9223372036854775807))");
    EXPECT_EQ(velk::debug_text(Value::number(Number::from_float(1.0))), "Number(Float(1.0))");
    EXPECT_EQ(velk::debug_text(Value::number(Number::from_float(-0.0))), "Number(Float(-0.0))");
    EXPECT_EQ(velk::debug_text(Value::number(Number::from_float(std::nan("")))), "Number(Float(NaN))");
}

std::string float_text(double x) {
    std::string out;
    velk::append_float(out, x);
    return out;
}

struct FloatCase {
    double x;
    const char* text;
};

void PrintTo(const FloatCase& c, std::ostream* os) { *os << c.text; }

class AppendFloatCase : public ::testing::TestWithParam<FloatCase> {};

TEST_P(AppendFloatCase, Prints) { EXPECT_EQ(float_text(GetParam().x), GetParam().text); }

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, AppendFloatCase,
    ::testing::Values(
        FloatCase{0.0, "0.0"}, FloatCase{-0.0, "-0.0"}, FloatCase{1.0, "1.0"},
        FloatCase{-1.0, "-1.0"}, FloatCase{0.5, "0.5"}, FloatCase{0.1, "0.1"},
        FloatCase{1.0 / 3.0, "0.3333333333333333"}, FloatCase{2.0 / 3.0, "0.6666666666666666"},
        FloatCase{100.0, "100.0"}, FloatCase{123.456, "123.456"},
        FloatCase{1e15, "1000000000000000.0"},
        FloatCase{9999999999999998.0, "9999999999999998.0"},
        FloatCase{1e16, "1e16"}, FloatCase{-1e16, "-1e16"},
        FloatCase{123456789012345680.0, "1.2345678901234568e17"},
        FloatCase{0.0001, "0.0001"}, FloatCase{0.00012, "0.00012"},
        FloatCase{0.00009999, "9.999e-5"}, FloatCase{1.5e-5, "1.5e-5"}, FloatCase{1e-7, "1e-7"},
        FloatCase{1.2345e100, "1.2345e100"}, FloatCase{5e-324, "5e-324"},
        FloatCase{-5e-324, "-5e-324"}, FloatCase{2.2250738585072014e-308, "2.2250738585072014e-308"},
        FloatCase{1.7976931348623157e308, "1.7976931348623157e308"},
        FloatCase{9007199254740993.0, "9007199254740992.0"},  // rounds to 2^53 on input
        FloatCase{std::nextafter(1e16, 0.0), "9999999999999998.0"},
        FloatCase{std::nextafter(1e-4, 0.0), "9.999999999999999e-5"},
        FloatCase{std::nextafter(1.0, 2.0), "1.0000000000000002"},
        FloatCase{kInf, "inf"}, FloatCase{-kInf, "-inf"},
        FloatCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
        FloatCase{-std::numeric_limits<double>::quiet_NaN(), "NaN"}));

// The smallest number of significant digits with which C's correctly rounded
// %e formatting reads back to x; the shortest form has at most that many.
int printf_round_trip_digits(double x) {
    for (int digits = 1; digits <= 17; ++digits) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.*e", digits - 1, x);
        if (std::strtod(buf, nullptr) == x) return digits;
    }
    return 17;
}

int significant_digits(const std::string& text) {
    std::string digits;
    for (char c : text.substr(0, text.find('e')))
        if (c >= '0' && c <= '9') digits += c;
    const auto first = digits.find_first_not_of('0');
    const auto last = digits.find_last_not_of('0');
    return first == std::string::npos ? 0 : static_cast<int>(last - first + 1);
}

// Random bit patterns: every finite double prints in the right shape, reads
// back to itself, and is no longer than needed.
TEST(AppendFloat, RandomDoublesRoundTripShortestInTheRightShape) {
    std::mt19937_64 rng(20240611);
    for (int i = 0; i < 200000; ++i) {
        const std::uint64_t bits = rng();
        double x;
        std::memcpy(&x, &bits, sizeof x);
        if (!std::isfinite(x)) continue;
        const std::string text = float_text(x);
        SCOPED_TRACE(text);

        double back;
        ASSERT_EQ(std::sscanf(text.c_str(), "%lf", &back), 1);
        ASSERT_EQ(std::memcmp(&back, &x, sizeof x), 0);
        ASSERT_LE(significant_digits(text), printf_round_trip_digits(x));

        const double m = std::fabs(x);
        const auto e = text.find('e');
        if (m == 0.0 || (m >= 1e-4 && m < 1e16)) {
            ASSERT_EQ(e, std::string::npos);
            const auto point = text.find('.');
            ASSERT_NE(point, std::string::npos);
            ASSERT_LT(point + 1, text.size());
        } else {
            ASSERT_NE(e, std::string::npos);
            const std::string mantissa = text.substr(0, e);
            const std::string exponent = text.substr(e + 1);
            ASSERT_NE(mantissa.back(), '.');
            ASSERT_FALSE(mantissa.size() >= 2 && mantissa.substr(mantissa.size() - 2) == ".0");
            ASSERT_NE(exponent.front(), '+');
            ASSERT_NE(exponent[exponent.front() == '-' ? 1 : 0], '0');
        }
    }
}

}  // namespace
