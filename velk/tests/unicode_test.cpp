// The generated Unicode tables against an expectation built independently
// from Python's unicodedata and PropList.txt (tools/gen_unicode_test_data.py).
#include "unicode.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace {

#include "unicode_expected_ranges.inc"

template <std::size_t N>
std::vector<bool> membership(const std::uint32_t (&ranges)[N][2]) {
    std::vector<bool> in(velk::kMaxCodePoint + 1, false);
    for (const auto& r : ranges)
        for (std::uint32_t cp = r[0]; cp <= r[1]; ++cp) in[cp] = true;
    return in;
}

TEST(UnicodeTables, GeneratedFromTheSameVersionAsTheExpectation) {
    EXPECT_STREQ(velk::unicode_version(), kExpectedUnicodeVersion);
}

struct NamedTable {
    const char* name;
    std::span<const velk::CodePointRange> (*ranges)() noexcept;
};

class UnicodeTableShape : public ::testing::TestWithParam<NamedTable> {};

TEST_P(UnicodeTableShape, SortedDisjointMergedAndInRange) {
    const auto ranges = GetParam().ranges();
    ASSERT_FALSE(ranges.empty());
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_LE(ranges[i].first, ranges[i].last);
        EXPECT_LE(ranges[i].last, velk::kMaxCodePoint);
        // Adjacent ranges would have been merged: a gap of at least one.
        if (i > 0) {
            EXPECT_GT(ranges[i].first, ranges[i - 1].last + 1);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Tables, UnicodeTableShape,
                         ::testing::Values(NamedTable{"GraphemeExtend", velk::grapheme_extend_ranges},
                                           NamedTable{"NotPrintable", velk::not_printable_ranges}),
                         [](const auto& info) { return std::string(info.param.name); });

// Every code point, surrogates included, against the independent expectation.
TEST(UnicodeTables, AgreeWithIndependentSourceOnEveryCodePoint) {
    const auto not_printable = membership(kExpectedNotPrintable);
    const auto extend = membership(kExpectedGraphemeExtend);
    int printable_mismatches = 0;
    int extend_mismatches = 0;
    for (char32_t cp = 0; cp <= velk::kMaxCodePoint; ++cp) {
        if (velk::is_printable(cp) == not_printable[cp] && ++printable_mismatches <= 10)
            ADD_FAILURE() << "is_printable wrong at U+" << std::hex << std::uint32_t{cp};
        if (velk::is_grapheme_extend(cp) != extend[cp] && ++extend_mismatches <= 10)
            ADD_FAILURE() << "is_grapheme_extend wrong at U+" << std::hex << std::uint32_t{cp};
    }
    EXPECT_EQ(printable_mismatches, 0);
    EXPECT_EQ(extend_mismatches, 0);
}

struct KnownCodePoint {
    char32_t cp;
    bool printable;
    bool extend;
    const char* what;
};

void PrintTo(const KnownCodePoint& k, std::ostream* os) { *os << k.what; }

class UnicodeKnownCodePoint : public ::testing::TestWithParam<KnownCodePoint> {};

TEST_P(UnicodeKnownCodePoint, HasItsProperties) {
    const KnownCodePoint& k = GetParam();
    EXPECT_EQ(velk::is_printable(k.cp), k.printable) << k.what;
    EXPECT_EQ(velk::is_grapheme_extend(k.cp), k.extend) << k.what;
}

INSTANTIATE_TEST_SUITE_P(
    Samples, UnicodeKnownCodePoint,
    ::testing::Values(
        KnownCodePoint{0x0000, false, false, "NUL (Cc)"},
        KnownCodePoint{0x001B, false, false, "ESC (Cc)"},
        KnownCodePoint{0x0020, true, false, "ASCII blank, the one printable Zs"},
        KnownCodePoint{0x0041, true, false, "A"},
        KnownCodePoint{0x007F, false, false, "DEL (Cc)"},
        KnownCodePoint{0x0085, false, false, "NEL (Cc)"},
        KnownCodePoint{0x00A0, false, false, "NO-BREAK SPACE (Zs)"},
        KnownCodePoint{0x00AD, false, false, "SOFT HYPHEN (Cf)"},
        KnownCodePoint{0x0301, true, true, "COMBINING ACUTE ACCENT (Mn)"},
        KnownCodePoint{0x0378, false, false, "unassigned (Cn)"},
        KnownCodePoint{0x0416, true, false, "CYRILLIC CAPITAL ZHE"},
        KnownCodePoint{0x0488, true, true, "COMBINING CYRILLIC HUNDRED THOUSANDS SIGN (Me)"},
        KnownCodePoint{0x09BE, true, true, "BENGALI VOWEL SIGN AA (Mc, Other_Grapheme_Extend)"},
        KnownCodePoint{0x200B, false, false, "ZERO WIDTH SPACE (Cf)"},
        KnownCodePoint{0x200C, false, true, "ZWNJ (Cf and Grapheme_Extend)"},
        KnownCodePoint{0x200D, false, false, "ZWJ (Cf, not Grapheme_Extend)"},
        KnownCodePoint{0x2028, false, false, "LINE SEPARATOR (Zl)"},
        KnownCodePoint{0x2029, false, false, "PARAGRAPH SEPARATOR (Zp)"},
        KnownCodePoint{0x3000, false, false, "IDEOGRAPHIC SPACE (Zs)"},
        KnownCodePoint{0x3400, true, false, "first of a First/Last range"},
        KnownCodePoint{0x4DBF, true, false, "last of a First/Last range"},
        KnownCodePoint{0x4E2D, true, false, "CJK ideograph"},
        KnownCodePoint{0xD800, false, false, "surrogate (Cs)"},
        KnownCodePoint{0xDFFF, false, false, "surrogate (Cs)"},
        KnownCodePoint{0xE000, false, false, "private use (Co)"},
        KnownCodePoint{0xFE0F, true, true, "VARIATION SELECTOR-16 (Mn)"},
        KnownCodePoint{0xFEFF, false, false, "BOM (Cf)"},
        KnownCodePoint{0xFFFD, true, false, "REPLACEMENT CHARACTER"},
        KnownCodePoint{0xFFFF, false, false, "noncharacter (Cn)"},
        KnownCodePoint{0x1F600, true, false, "emoji"},
        KnownCodePoint{0x1F3FB, true, false, "skin tone modifier (Sk)"},
        KnownCodePoint{0xE0001, false, false, "LANGUAGE TAG (Cf)"},
        KnownCodePoint{0xE0020, false, true, "TAG SPACE (Cf and Grapheme_Extend)"},
        KnownCodePoint{0xE0100, true, true, "VARIATION SELECTOR-17 (Mn)"},
        KnownCodePoint{0x10FFFD, false, false, "plane 16 private use (Co)"},
        KnownCodePoint{0x10FFFF, false, false, "last code point (Cn)"},
        KnownCodePoint{0x110000, false, false, "beyond Unicode"},
        KnownCodePoint{0xFFFFFFFF, false, false, "beyond Unicode"}));

}  // namespace
