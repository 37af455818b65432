#include "program_decoder.hpp"
#include "text_checks.hpp"

#include <array>
#include <bit>
#include <limits>
#include <string>
#include <utility>

namespace velk::fuzz {

std::uint16_t ByteReader::u16() noexcept {
    const std::uint16_t hi = u8();
    return static_cast<std::uint16_t>(hi << 8 | u8());
}

std::uint32_t ByteReader::u32() noexcept {
    const std::uint32_t hi = u16();
    return hi << 16 | u16();
}

std::uint64_t ByteReader::u64() noexcept {
    const std::uint64_t hi = u32();
    return hi << 32 | u32();
}

namespace {

using Limits = std::numeric_limits<std::int64_t>;
constexpr std::int64_t kTwoTo53 = std::int64_t{1} << 53;  // last exactly convertible magnitude

// Selectors at or above this byte read a raw payload instead of a table entry.
constexpr std::uint8_t kRawSelector = 0xF0;
// This tag byte introduces a deep form (while the input may still have one).
constexpr std::uint8_t kDeepTag = 0xFF;
// Level counts of deep forms: up to this many usually, up to kMaxDeepLevels
// after a selector byte whose high nibble is 0x8.
constexpr unsigned kShallowDeepLevels = 64;
constexpr std::uint8_t kManyLevelsSelector = 0x80;
static_assert(kShallowDeepLevels < kMaxDeepLevels);

const std::array<std::int64_t, 16> kInts = {
    0, 1, -1, 2, -2, 7, 10, Limits::max(), Limits::min(), Limits::max() - 1, Limits::min() + 1,
    kTwoTo53, kTwoTo53 + 1, -kTwoTo53 - 1, std::int64_t{1} << 32, 4294967295,
};

const std::array<double, 16> kFloats = {
    0.0, -0.0, std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
    1.0, 0.5, -1.5, 1e16, 1e-4, 1.5e-5, std::numeric_limits<double>::max(),
    std::numeric_limits<double>::denorm_min(), 9007199254740992.0, 0.1,
};

// Texts chosen for their debug form: quotes, escapes, controls, combining
// marks, separators, non-Latin scripts, astral characters.
const std::array<std::string, 16> kTexts = {
    "", "a", "b", "ab", "\"", "\\", "\n", std::string(1, '\0'),
    "\x7f", "\xc2\x85", "\xc3\xa9", "e\xcc\x81", "\xe6\x97\xa5\xe6\x9c\xac",
    "\xf0\x9f\x98\x80", "\xe2\x80\xa8", "'",
};

Identifier pooled_identifier(std::uint8_t i) {
    switch (i % 16) {
        case 0: return Identifier::u(0);
        case 1: return Identifier::u(1);
        case 2: return Identifier::u(7);
        case 3: return Identifier::u(std::numeric_limits<std::uint32_t>::max());
        case 4: return Identifier::s("x");
        case 5: return Identifier::s("y");
        case 6: return Identifier::s("7");  // differs from U(7)
        case 7: return Identifier::s("");
        case 8: return Identifier::s("counter");
        case 9: return Identifier::s("\xc3\xa9");
        case 10: return Identifier::s("a\"b\\\n");
        case 11: return Identifier::s(std::string("\t\r\0z", 4));
        case 12: return Identifier::s("e\xcc\x81");
        case 13: return Identifier::s("\x1b[0m");
        case 14: return Identifier::s("\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e");
        default: return Identifier::s("\xe2\x80\x8b");  // zero width space, a format character
    }
}

constexpr std::size_t kMaxTextUnits = 8;
constexpr char32_t kFirstSurrogate = 0xD800;
constexpr char32_t kLastSurrogate = 0xDFFF;
constexpr std::array<char32_t, 8> kSpecialCodePoints = {
    0x85, 0xA0, 0xAD, 0x2028, 0xFEFF, 0xE000, 0x10FFFF, 0x1F600,
};

std::string read_text(ByteReader& in) {
    std::string out;
    const std::size_t units = in.u8() % kMaxTextUnits;
    for (std::size_t k = 0; k < units; ++k) {
        const std::uint8_t cls = in.u8();
        switch (cls % 8) {
            case 0: out += static_cast<char>(0x20 + in.u8() % 95); break;  // printable ASCII
            case 1: {
                const std::uint8_t c = in.u8() % 33;
                out += static_cast<char>(c == 32 ? 0x7F : c);  // C0 controls and DEL
                break;
            }
            case 2: out += "\"\\' "[in.u8() % 4]; break;
            case 3: {
                char32_t cp = 0x80 + in.u16() % (0x10000 - 0x80);
                if (cp >= kFirstSurrogate && cp <= kLastSurrogate) cp = 0xFFFD;
                append_utf8(out, cp);
                break;
            }
            case 4: append_utf8(out, 0x300 + in.u8() % 0x70); break;  // combining marks
            case 5: {
                const char32_t plane = in.u8() % 16;
                append_utf8(out, 0x10000 + (plane << 16 | in.u16()));
                break;
            }
            case 6: append_utf8(out, kSpecialCodePoints[in.u8() % kSpecialCodePoints.size()]); break;
            default: out += static_cast<char>(in.u8()); break;  // may break UTF-8 on purpose
        }
    }
    return out;
}

Identifier read_identifier(ByteReader& in) {
    const std::uint8_t sel = in.u8();
    if (sel < 0x80) return pooled_identifier(sel);
    if (sel & 0x40) return Identifier::u(in.u32());
    return Identifier::s(read_text(in));
}

class Decoder {
public:
    explicit Decoder(ByteReader& in) noexcept : in_(in) {}

    StatementList list(unsigned depth) {
        StatementList out;
        while (out.size() < kMaxListLength && nodes_ < kMaxNodes) {
            const std::uint8_t tag = in_.u8();
            if (tag == 0) break;
            out.push_back(statement(tag, depth));
        }
        return out;
    }

private:
    Statement statement(std::uint8_t tag, unsigned depth) {
        ++nodes_;
        if (tag == kDeepTag && deep_forms_ < kMaxDeepForms) {
            ++deep_forms_;
            return deep_statement(depth);
        }
        if (tag % 4 == 3 && depth < kMaxStatementDepth) {
            Expr cond = expr(0);
            StatementList then = list(depth + 1);
            StatementList otherwise = list(depth + 1);
            return Statement::if_(std::move(cond), std::move(then), std::move(otherwise));
        }
        Identifier id = read_identifier(in_);
        return Statement::let(std::move(id), expr(0));
    }

    // A statement wrapped in up to kMaxDeepLevels `if`s.
    Statement deep_statement(unsigned depth) {
        const unsigned levels = deep_levels();
        const std::uint8_t shape = in_.u8() % 4;
        Expr cond = shape == 2 ? expr(kMaxExprDepth - 1) : Expr::literal(Value::boolean(true));
        const std::uint8_t tag = in_.u8();
        Statement acc = tag == 0 ? Statement::let(Identifier::s("deep"), Expr::literal(Value::null()))
                                 : statement(tag, depth + 1);
        for (unsigned i = 0; i < levels; ++i) {
            StatementList inner;
            inner.push_back(std::move(acc));
            switch (shape) {
                case 0:
                    acc = Statement::if_(Expr::literal(Value::boolean(true)), std::move(inner), {});
                    break;
                case 1:  // the inner statement alternates between the branches
                    acc = i % 2 == 0 ? Statement::if_(Expr::literal(Value::boolean(true)), std::move(inner), {})
                                     : Statement::if_(Expr::literal(Value::boolean(false)), {}, std::move(inner));
                    break;
                case 2: {
                    StatementList other;
                    other.push_back(Statement::let(Identifier::u(i % 4), int_value(i)));
                    acc = Statement::if_(cond.clone(), std::move(inner), std::move(other));
                    break;
                }
                default:  // a binding after the nested list at every level
                    inner.push_back(Statement::let(Identifier::s("level"), int_value(i)));
                    acc = Statement::if_(Expr::not_(Expr::literal(Value::boolean(false))), std::move(inner), {});
                    break;
            }
        }
        return acc;
    }

    Expr expr(unsigned depth) {
        ++nodes_;
        const std::uint8_t tag = in_.u8();
        if (tag == kDeepTag && deep_forms_ < kMaxDeepForms) {
            ++deep_forms_;
            return deep_expr();
        }
        const bool composite_ok = depth < kMaxExprDepth && nodes_ < kMaxNodes;
        switch (tag % 16) {
            case 0: return Expr::literal(Value::null());
            case 1: return Expr::literal(Value::boolean(in_.u8() & 1));
            case 2: return int_literal();
            case 3: return float_literal();
            case 4: return string_literal();
            case 5:
            case 6:
            case 13:
            case 15: return Expr::ident(read_identifier(in_));
            default: break;
        }
        if (!composite_ok) return int_literal();
        switch (tag % 16) {
            case 9: {
                Expr a = expr(depth + 1);
                return Expr::equals(std::move(a), expr(depth + 1));
            }
            case 10: return Expr::not_(expr(depth + 1));
            case 11: {
                Expr a = expr(depth + 1);
                return Expr::greater_than(std::move(a), expr(depth + 1));
            }
            case 12: {
                Expr a = expr(depth + 1);
                return Expr::less_than(std::move(a), expr(depth + 1));
            }
            default: {  // 7, 8, 14
                const auto op = static_cast<BinaryOperator>(in_.u8() % 4);
                Expr a = expr(depth + 1);
                return Expr::binary_op(std::move(a), op, expr(depth + 1));
            }
        }
    }

    // A chain of up to kMaxDeepLevels operators over a base and a leaf that
    // is repeated at every level.
    Expr deep_expr() {
        const unsigned levels = deep_levels();
        const std::uint8_t shape = in_.u8() % 6;
        const auto op = static_cast<BinaryOperator>(in_.u8() % 4);
        Expr acc = expr(kMaxExprDepth - 2);
        const Expr leaf = expr(kMaxExprDepth);
        for (unsigned i = 0; i < levels; ++i) {
            switch (shape) {
                case 0: acc = Expr::binary_op(std::move(acc), op, leaf.clone()); break;
                case 1: acc = Expr::binary_op(leaf.clone(), op, std::move(acc)); break;
                case 2: acc = Expr::not_(std::move(acc)); break;
                case 3: acc = Expr::equals(std::move(acc), leaf.clone()); break;
                case 4: acc = Expr::less_than(leaf.clone(), std::move(acc)); break;
                default: acc = Expr::greater_than(std::move(acc), leaf.clone()); break;
            }
        }
        return acc;
    }

    // Mostly up to kShallowDeepLevels; a selector byte 0x80..0x8F (not one
    // of the values mutators favour, like 0x00 and 0xFF) reads a 16-bit
    // count for up to kMaxDeepLevels, which is costly to run and check.
    unsigned deep_levels() noexcept {
        const std::uint8_t b = in_.u8();
        if ((b & 0xF0) != kManyLevelsSelector) return 1u + b % kShallowDeepLevels;
        return kShallowDeepLevels + 1u + in_.u16() % (kMaxDeepLevels - kShallowDeepLevels);
    }

    static Expr int_value(std::int64_t i) { return Expr::literal(Value::number(Number::from_int(i))); }

    Expr int_literal() {
        const std::uint8_t sel = in_.u8();
        return int_value(sel < kRawSelector ? kInts[sel % kInts.size()] : static_cast<std::int64_t>(in_.u64()));
    }

    Expr float_literal() {
        const std::uint8_t sel = in_.u8();
        const double f = sel < kRawSelector ? kFloats[sel % kFloats.size()] : std::bit_cast<double>(in_.u64());
        return Expr::literal(Value::number(Number::from_float(f)));
    }

    Expr string_literal() {
        const std::uint8_t sel = in_.u8();
        return Expr::literal(Value::string(sel < 0x80 ? kTexts[sel % kTexts.size()] : read_text(in_)));
    }

    ByteReader& in_;
    std::size_t nodes_ = 0;       // ordinary nodes decoded so far
    unsigned deep_forms_ = 0;     // deep forms decoded so far
};

}  // namespace

std::vector<Run> decode_input(const std::uint8_t* data, std::size_t size) {
    ByteReader in(data, size);
    Decoder decoder(in);
    std::vector<Run> runs;
    do {
        const std::uint8_t flags = in.u8();
        Run run;
        run.flags.clone_list_after = flags & 1;
        run.flags.clone_statements_before = flags & 2;
        run.flags.one_call_per_statement = flags & 4;
        run.program = decoder.list(0);
        runs.push_back(std::move(run));
    } while (!in.done() && runs.size() < kMaxRuns);
    return runs;
}

}  // namespace velk::fuzz
