// SipHash-1-3, one-shot over bytes and streamed over an identifier's hash
// input.
#include "velk/siphash.hpp"

#include <bit>
#include <climits>
#include <cstring>

#include "identifier_hash.hpp"

namespace velk {
namespace {

constexpr std::size_t kBlockBytes = 8;    // SipHash compresses 64-bit words
constexpr unsigned kLengthShift = 56;     // the length byte closes the last block
constexpr std::uint64_t kFinalXor = 0xff; // marks the finalisation rounds

// The initial state is the key xor'ed with "somepseudorandomlygeneratedbytes".
struct SipState {
    std::uint64_t v0, v1, v2, v3;  // the four state words

    explicit SipState(SipKey k) noexcept
        : v0(k.k0 ^ 0x736f6d6570736575ULL),
          v1(k.k1 ^ 0x646f72616e646f6dULL),
          v2(k.k0 ^ 0x6c7967656e657261ULL),
          v3(k.k1 ^ 0x7465646279746573ULL) {}

    void round() noexcept {
        v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
        v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
    }
    // One compression round per block: the "1" of SipHash-1-3.
    void compress(std::uint64_t m) noexcept {
        v3 ^= m;
        round();
        v0 ^= m;
    }
    // Three finalisation rounds: the "3".
    std::uint64_t finish(std::uint64_t last_block) noexcept {
        compress(last_block);
        v2 ^= kFinalXor;
        round();
        round();
        round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

std::uint64_t load_le64(const unsigned char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The first n < 8 bytes at p as a little-endian word.
std::uint64_t load_le_partial(const unsigned char* p, std::size_t n) noexcept {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v |= std::uint64_t(p[i]) << (CHAR_BIT * i);
    return v;
}

std::uint64_t length_byte(std::uint64_t total) noexcept { return total << kLengthShift; }

// Feeds a message in pieces; blocks are compressed as they fill.
class SipStream {
public:
    explicit SipStream(SipKey key) noexcept : state_(key) {}

    void write(const unsigned char* p, std::size_t n) noexcept {
        total_ += n;
        if (pending_bytes_ != 0) {
            while (n != 0 && pending_bytes_ != kBlockBytes) {
                pending_ |= std::uint64_t(*p++) << (CHAR_BIT * pending_bytes_++);
                --n;
            }
            if (pending_bytes_ != kBlockBytes) return;
            state_.compress(pending_);
            pending_ = 0;
            pending_bytes_ = 0;
        }
        for (; n >= kBlockBytes; n -= kBlockBytes, p += kBlockBytes) state_.compress(load_le64(p));
        pending_ = load_le_partial(p, n);
        pending_bytes_ = n;
    }
    void write_le(std::uint64_t word, std::size_t bytes) noexcept {
        unsigned char buf[kBlockBytes];
        for (std::size_t i = 0; i < bytes; ++i) buf[i] = static_cast<unsigned char>(word >> (CHAR_BIT * i));
        write(buf, bytes);
    }
    std::uint64_t finish() noexcept { return state_.finish(pending_ | length_byte(total_)); }

private:
    SipState state_;
    std::uint64_t pending_ = 0;        // bytes of the unfinished block
    std::size_t pending_bytes_ = 0;    // how many, below 8
    std::uint64_t total_ = 0;          // message length so far
};

// The rest of an identifier's hash input after its kind word (on 64-bit
// targets exactly the first block), fed to `s`.
std::uint64_t hash_after_kind(SipState s, const Identifier& id) noexcept {
    if (id.is_u()) {
        constexpr std::uint64_t kTotal = kBlockBytes + sizeof(std::uint32_t);
        return s.finish(id.as_u() | length_byte(kTotal));
    }
    const std::string_view text = id.as_s();
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t n = text.size();
    const std::uint64_t total = kBlockBytes + n + 1;
    for (; n >= kBlockBytes; n -= kBlockBytes, p += kBlockBytes) s.compress(load_le64(p));
    // The text's last bytes and the end marker; with 7 text bytes left the
    // marker completes a block and only the length remains.
    const std::uint64_t tail = load_le_partial(p, n) | (std::uint64_t(detail::kTextEnd) << (CHAR_BIT * n));
    if (n == kBlockBytes - 1) {
        s.compress(tail);
        return s.finish(length_byte(total));
    }
    return s.finish(tail | length_byte(total));
}

std::uint64_t hash_identifier_64(SipKey key, const Identifier& id) noexcept {
    SipState s(key);
    s.compress(static_cast<std::uint64_t>(id.kind()));
    return hash_after_kind(s, id);
}

// The kind word is pointer-sized, and pointers are 64 bits here (text.hpp):
// it is one whole block, compressed ahead once per key and kind.
static_assert(sizeof(std::uintptr_t) == kBlockBytes, "the kind word fills one block");

}  // namespace

std::uint64_t siphash13(SipKey key, const void* data, std::size_t len) noexcept {
    SipState s(key);
    const auto* p = static_cast<const unsigned char*>(data);
    std::size_t n = len;
    for (; n >= kBlockBytes; n -= kBlockBytes, p += kBlockBytes) s.compress(load_le64(p));
    return s.finish(load_le_partial(p, n) | length_byte(len));
}

namespace detail {

std::uint64_t hash_identifier_streamed(SipKey key, const Identifier& id,
                                       std::size_t kind_word_bytes) noexcept {
    SipStream s(key);
    s.write_le(static_cast<std::uint64_t>(id.kind()), kind_word_bytes);
    if (id.is_u()) {
        s.write_le(id.as_u(), sizeof(std::uint32_t));
    } else {
        const std::string_view text = id.as_s();
        s.write(reinterpret_cast<const unsigned char*>(text.data()), text.size());
        s.write(&kTextEnd, 1);
    }
    return s.finish();
}

}  // namespace detail

std::uint64_t hash_identifier(SipKey key, const Identifier& id) noexcept { return hash_identifier_64(key, id); }

IdentifierHasher::IdentifierHasher(SipKey key) noexcept : key_(key), after_kind_{} {
    for (std::size_t kind = 0; kind < 2; ++kind) {
        SipState s(key);
        s.compress(kind);
        after_kind_[kind] = {s.v0, s.v1, s.v2, s.v3};
    }
}

std::uint64_t IdentifierHasher::operator()(const Identifier& id) const noexcept {
    const auto& w = after_kind_[static_cast<std::size_t>(id.kind())];
    SipState s(key_);
    s.v0 = w[0];
    s.v1 = w[1];
    s.v2 = w[2];
    s.v3 = w[3];
    return hash_after_kind(s, id);
}

}  // namespace velk
