// SipHash-1-3 against the published vectors and CPython's implementation,
// and the identifier hash input.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "identifier_hash.hpp"
#include "siphash_python_vectors.hpp"
#include "velk/siphash.hpp"

namespace velk {
namespace {

constexpr SipKey kReferenceKey{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};  // bytes 00..0f

// SipHash-1-3 of the messages 00, 00 01, ..., 00..0e under kReferenceKey.
constexpr std::uint64_t kReference[16] = {
    0xabac0158050fc4dcULL, 0xc9f49bf37d57ca93ULL, 0x82cb9b024dc7d44dULL, 0x8bf80ab8e7ddf7fbULL,
    0xcf75576088d38328ULL, 0xdef9d52f49533b67ULL, 0xc50d2b50c59f22a7ULL, 0xd3927d989bb11140ULL,
    0x369095118d299a8eULL, 0x25a48eb36c063de4ULL, 0x79de85ee92ff097fULL, 0x70c118c1f94dc352ULL,
    0x78a384b157b4d9a2ULL, 0x306f760c1229ffa7ULL, 0x605aa111c0f95d34ULL, 0xd320d86d2a519956ULL,
};

TEST(SipHash, ReferenceVectors) {
    for (std::size_t len = 0; len < 16; ++len) {
        std::vector<unsigned char> message(len);
        for (std::size_t i = 0; i < len; ++i) message[i] = static_cast<unsigned char>(i);
        EXPECT_EQ(siphash13(kReferenceKey, message.data(), len), kReference[len]) << "length " << len;
    }
}

TEST(SipHash, DoesNotDependOnAlignment) {
    const std::string text = "_the quick brown fox jumps over the lazy dog";
    const std::string copy = text.substr(1);
    EXPECT_EQ(siphash13(kReferenceKey, text.data() + 1, text.size() - 1),
              siphash13(kReferenceKey, copy.data(), copy.size()));
}

Identifier from_vector(const test::PythonHashVector& v) {
    return v.is_u ? Identifier::u(v.number) : Identifier::s(std::string(v.text));
}

TEST(SipHash, MatchesCPythonUnderZeroKey) {
    if constexpr (sizeof(void*) != 8) GTEST_SKIP() << "vectors use the 64-bit hash input";
    constexpr std::uint64_t kAllOnes = ~std::uint64_t(0);
    constexpr std::uint64_t kPythonAllOnes = kAllOnes - 1;  // CPython never reports -1
    for (const auto& v : test::kPythonHashVectors) {
        const Identifier id = from_vector(v);
        std::uint64_t h = hash_identifier(SipKey{0, 0}, id);
        if (h == kAllOnes) h = kPythonAllOnes;
        EXPECT_EQ(h, v.hash) << (v.is_u ? "U " + std::to_string(v.number) : "S " + std::string(v.text));
    }
}

// Numbers and texts of every length across several blocks.
std::vector<Identifier> sample_identifiers() {
    std::vector<Identifier> ids;
    for (std::uint32_t n : {0u, 1u, 0xFFu, 0x100u, 0x12345678u, 0xFFFFFFFFu}) ids.push_back(Identifier::u(n));
    std::string text;
    for (int len = 0; len <= 40; ++len) {
        ids.push_back(Identifier::s(text));
        text.push_back(static_cast<char>('a' + len % 26));
    }
    ids.push_back(Identifier::s(std::string("nul\0inside", 10)));
    ids.push_back(Identifier::s("日本語の変数"));
    return ids;
}

// The store hashes through hash_identifier (or the hasher made from its
// key), whose fast path must agree with the streamed form checked below.
TEST(SipHash, FastPathAndPrecomputedHasherEqualTheStreamedHash) {
    for (const SipKey key : {SipKey{0, 0}, SipKey{0x243f6a8885a308d3ULL, 0x13198a2e03707344ULL}, SipKey{~0ULL, 1}}) {
        const IdentifierHasher hasher(key);
        EXPECT_EQ(hasher.key().k0, key.k0);
        for (const Identifier& id : sample_identifiers()) {
            const std::uint64_t streamed = detail::hash_identifier_streamed(key, id, sizeof(void*));
            EXPECT_EQ(hash_identifier(key, id), streamed) << static_cast<int>(id.kind());
            EXPECT_EQ(hasher(id), streamed);
        }
    }
}

std::string bytes(std::initializer_list<unsigned> list) {
    std::string s;
    for (unsigned b : list) s.push_back(static_cast<char>(b));
    return s;
}

// The hash input spelled out byte by byte, for both widths of the kind
// word: with 4 bytes (32-bit platforms) a text no longer starts on a block
// boundary.
TEST(IdentifierHashInput, IsTheKindWordThenTheNumberOrTheTextAndItsEnd) {
    const SipKey key{0x0123456789abcdefULL, 0xfedcba9876543210ULL};
    const auto hash_of = [&](const std::string& b) { return siphash13(key, b.data(), b.size()); };
    for (std::size_t width : {std::size_t{4}, std::size_t{8}}) {
        const auto kind_word = [&](unsigned kind) { return bytes({kind}) + std::string(width - 1, '\0'); };
        EXPECT_EQ(detail::hash_identifier_streamed(key, Identifier::u(1), width),
                  hash_of(kind_word(0) + bytes({1, 0, 0, 0})));
        EXPECT_EQ(detail::hash_identifier_streamed(key, Identifier::u(0xA1B2C3D4), width),
                  hash_of(kind_word(0) + bytes({0xD4, 0xC3, 0xB2, 0xA1})));
        std::string text;
        for (int len = 0; len <= 20; ++len, text.push_back(static_cast<char>('a' + len))) {
            EXPECT_EQ(detail::hash_identifier_streamed(key, Identifier::s(text), width),
                      hash_of(kind_word(1) + text + bytes({0xFF})))
                << "width " << width << ", length " << len;
        }
    }
}

TEST(IdentifierHash, KindsWithTheSameDigitsDiffer) {
    const SipKey key{1, 2};
    EXPECT_NE(hash_identifier(key, Identifier::u(1)), hash_identifier(key, Identifier::s("1")));
}

}  // namespace
}  // namespace velk
