// Text keeps short texts inline and longer ones in a buffer of their own;
// both forms must behave the same through copies, moves and comparisons.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "velk/text.hpp"
#include "velk/value.hpp"

namespace velk {
namespace {

// Lengths around the inline limit, and texts with bytes that a C string
// would cut short.
std::string sample(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(i % 3 == 0 ? '\0' : 'a' + i % 26));
    return s;
}

TEST(Text, EveryLengthAroundTheInlineLimitRoundTrips) {
    for (std::size_t n : {0u, 1u, 7u, 8u, 14u, 15u, 16u, 17u, 31u, 100u, 5000u}) {
        const std::string s = sample(n);
        Text t(s);
        EXPECT_EQ(t.size(), n);
        EXPECT_EQ(t.view(), s) << n;

        Text copy(t);
        EXPECT_EQ(copy.view(), s) << n;
        EXPECT_TRUE(copy == t);
        if (n > Text::kInlineCapacity) {
            EXPECT_NE(copy.data(), t.data()) << "a copy owns its own buffer";
        }

        const char* buffer = t.data();
        Text moved(std::move(t));
        EXPECT_EQ(moved.view(), s) << n;
        if (n > Text::kInlineCapacity) {
            EXPECT_EQ(moved.data(), buffer) << "a move hands the buffer over";
        }
        EXPECT_TRUE(t.empty());  // a moved-from text is empty

        Text assigned("something else entirely, long enough for the heap");
        assigned = copy;
        EXPECT_EQ(assigned.view(), s);
        assigned = std::move(moved);
        EXPECT_EQ(assigned.view(), s);
    }
}

TEST(Text, EqualityComparesBytesNotForms) {
    EXPECT_TRUE(Text("") == Text());
    EXPECT_TRUE(Text(std::string("a\0b", 3)) == Text(std::string("a\0b", 3)));
    EXPECT_FALSE(Text(std::string("a\0b", 3)) == Text(std::string("a\0c", 3)));
    EXPECT_FALSE(Text("abc") == Text(std::string("abc\0", 4)));
    EXPECT_FALSE(Text(sample(15)) == Text(sample(16)));
    EXPECT_TRUE(Text(sample(40)) == Text(sample(40)));
    EXPECT_FALSE(Text(sample(40)) == Text(sample(41)));
}

TEST(Text, TheNumberFormEqualsOnlyTheSameNumber) {
    for (std::uint32_t n : {0u, 1u, 0x40u, 0xFFFFFFFFu}) {
        const Text t = Text::number(n);
        EXPECT_TRUE(t.is_number());
        EXPECT_EQ(t.number(), n);
        Text copy(t);
        Text moved(std::move(copy));
        EXPECT_TRUE(moved == t);
        EXPECT_FALSE(t == Text::number(n + 1));
        for (const Text& text : {Text(), Text(""), Text("0"), Text(sample(15)), Text(sample(16)), Text(sample(64))}) {
            EXPECT_FALSE(text.is_number());
            EXPECT_FALSE(t == text) << n;
            EXPECT_FALSE(text == t) << n;
        }
    }
    EXPECT_FALSE(Identifier::u(0) == Identifier::s(""));
    EXPECT_FALSE(Identifier::u(7) == Identifier::s("7"));
    EXPECT_TRUE(Identifier::u(7) == Identifier::u(7));
    EXPECT_TRUE(Identifier::u(7).is_u());
    EXPECT_TRUE(Identifier::s("").is_s());
}

TEST(Text, UninitializedTextIsFilledByItsWriter) {
    for (std::size_t n : {3u, 15u, 16u, 64u}) {
        Text t = Text::uninitialized(n);
        for (std::size_t i = 0; i < n; ++i) t.data()[i] = 'x';
        EXPECT_EQ(t.view(), std::string(n, 'x'));
        EXPECT_TRUE(t == Text(std::string(n, 'x'))) << n;
    }
}

TEST(Text, ValuesAndIdentifiersKeepTheirTextsThroughCopiesAndMoves) {
    const std::string long_text = sample(70);
    Value v = Value::string(long_text);
    Value copy = v;
    Value moved = std::move(v);
    EXPECT_EQ(copy.as_string(), long_text);
    EXPECT_EQ(moved.as_string(), long_text);
    EXPECT_TRUE(copy == moved);
    copy = Value::number(Number::from_int(3));  // a text replaced by a number
    EXPECT_TRUE(copy.is_number());

    Identifier a = Identifier::s("x");
    Identifier b = a;
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a == Identifier::u(0));
    b = Identifier::s(long_text);
    EXPECT_EQ(b.as_s(), long_text);
    EXPECT_FALSE(a == b);
}

}  // namespace
}  // namespace velk
