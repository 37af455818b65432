#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tree_builders.hpp"
#include "inspect.hpp"
#include "velk/debug_text.hpp"
#include "velk/eval.hpp"
#include "velk/eval_error.hpp"
#include "failures.hpp"
#include "velk/raw_rwlock.hpp"
#include "velk/sharded_map.hpp"

namespace velk {
namespace {

using namespace velk::test;

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// The debug form of the result, or "error: <message>".
std::string outcome(const Machine& m, Expr e) {
    try {
        return debug_text(*evaluate(m, std::move(e)));
    } catch (const EvalError& err) {
        return "error: " + err.message();
    }
}

std::string outcome(Expr e) {
    Machine m;
    return outcome(m, std::move(e));
}

Value I(std::int64_t i) { return Value::number(Number::from_int(i)); }
Value S(std::string s) { return Value::string(std::move(s)); }

struct Case {
    const char* name;
    Expr (*build)();
    const char* expected;
};

class Evaluates : public ::testing::TestWithParam<Case> {};

TEST_P(Evaluates, ToTheExpectedValueOrFailure) {
    EXPECT_EQ(outcome(GetParam().build()), GetParam().expected) << GetParam().name;
}

const Case kArithmetic[] = {
    {"wrapping add", [] { return add(lit_int(kMax), lit_int(1)); }, "Number(Int(-9223372036854775808))"},
    {"wrapping sub", [] { return sub(lit_int(kMin), lit_int(1)); }, "Number(Int(9223372036854775807))"},
    {"wrapping mul", [] { return mul(lit_int(kMin), lit_int(-1)); }, "Number(Int(-9223372036854775808))"},
    {"big product", [] { return mul(lit_int(kMax), lit_int(kMax)); }, "Number(Int(1))"},
    {"truncating 7/-2", [] { return div(lit_int(7), lit_int(-2)); }, "Number(Int(-3))"},
    {"truncating -7/2", [] { return div(lit_int(-7), lit_int(2)); }, "Number(Int(-3))"},
    {"int division stays int", [] { return div(lit_int(7), lit_int(2)); }, "Number(Int(3))"},
    {"min / 1", [] { return div(lit_int(kMin), lit_int(1)); }, "Number(Int(-9223372036854775808))"},
    {"divide by zero", [] { return div(lit_int(1), lit_int(0)); }, "error: attempt to divide by zero"},
    {"divide overflow", [] { return div(lit_int(kMin), lit_int(-1)); }, "error: attempt to divide with overflow"},
    {"int by float zero", [] { return div(lit_int(1), lit_float(0.0)); }, "Number(Float(inf))"},
    {"neg float by int zero", [] { return div(lit_float(-1.0), lit_int(0)); }, "Number(Float(-inf))"},
    {"zero by int zero", [] { return div(lit_float(0.0), lit_int(0)); }, "Number(Float(NaN))"},
    {"int by neg zero", [] { return div(lit_int(1), lit_float(-0.0)); }, "Number(Float(-inf))"},
    {"int plus float", [] { return add(lit_int(1), lit_float(0.5)); }, "Number(Float(1.5))"},
    {"int times float", [] { return mul(lit_int(2), lit_float(1.0)); }, "Number(Float(2.0))"},
    {"float minus int", [] { return sub(lit_float(0.5), lit_int(2)); }, "Number(Float(-1.5))"},
    {"float overflow", [] { return mul(lit_float(1e308), lit_int(10)); }, "Number(Float(inf))"},
    {"inf minus inf", [] { return sub(lit_float(kInf), lit_float(kInf)); }, "Number(Float(NaN))"},
    {"int to float rounds to even", [] { return add(lit_int((std::int64_t{1} << 53) + 1), lit_float(0.0)); },
     "Number(Float(9007199254740992.0))"},
    {"join", [] { return add(lit_str("ab"), lit_str("c\"d")); }, "String(\"abc\\\"d\")"},
    {"join empty right", [] { return add(lit_str("ab"), lit_str("")); }, "String(\"ab\")"},
    {"join two empty", [] { return add(lit_str(""), lit_str("")); }, "String(\"\")"},
};
INSTANTIATE_TEST_SUITE_P(Arithmetic, Evaluates, ::testing::ValuesIn(kArithmetic));

const Case kKindFailures[] = {
    {"string + number", [] { return add(lit_str("a"), lit_int(1)); }, "error: Binary operator for unknown type"},
    {"number + string", [] { return add(lit_int(1), lit_str("a")); }, "error: Binary operator for unknown type"},
    {"string - string", [] { return sub(lit_str("a"), lit_str("b")); },
     "error: Unknown binary operation for Value::String"},
    {"string / string", [] { return div(lit_str("a"), lit_str("b")); },
     "error: Unknown binary operation for Value::String"},
    {"string * null: right kind tested before operator", [] { return mul(lit_str("a"), lit_null()); },
     "error: Binary operator for unknown type"},
    {"bool + bool", [] { return add(lit_bool(true), lit_bool(true)); }, "error: Binary operator for unknown type"},
    {"null + null", [] { return add(lit_null(), lit_null()); }, "error: Binary operator for unknown type"},
    {"null / number", [] { return div(lit_null(), lit_int(0)); }, "error: Binary operator for unknown type"},
    {"not int", [] { return Expr::not_(lit_int(0)); }, "error: The not expression must be used on a boolean value"},
    {"not null", [] { return Expr::not_(lit_null()); }, "error: The not expression must be used on a boolean value"},
    {"not string", [] { return Expr::not_(lit_str("")); },
     "error: The not expression must be used on a boolean value"},
    {"not true", [] { return Expr::not_(lit_bool(true)); }, "Boolean(false)"},
    {"not not false", [] { return Expr::not_(Expr::not_(lit_bool(false))); }, "Boolean(false)"},
    {"greater string number", [] { return Expr::greater_than(lit_str("a"), lit_int(1)); },
     "error: Both left-hand and right-hand side values must be a number"},
    {"less two strings", [] { return Expr::less_than(lit_str("a"), lit_str("b")); },
     "error: Both left-hand and right-hand side values must be a number"},
    {"less number null", [] { return Expr::less_than(lit_int(1), lit_null()); },
     "error: Both left-hand and right-hand side values must be a number"},
    // Operands are evaluated completely before the node checks kinds.
    {"missing beats kind failure", [] { return add(lit_null(), var("missing")); },
     "error: Value cannot be found: S(\"missing\")"},
    {"missing in equals (left)", [] { return Expr::equals(var_u(3), lit_null()); },
     "error: Value cannot be found: U(3)"},
    {"missing in equals (right)", [] { return Expr::equals(lit_null(), var("y")); },
     "error: Value cannot be found: S(\"y\")"},
    {"inner failure beats outer", [] { return Expr::not_(add(lit_str("a"), div(lit_int(1), lit_int(0)))); },
     "error: attempt to divide by zero"},
    {"left failure before right", [] { return add(var("first"), var("second")); },
     "error: Value cannot be found: S(\"first\")"},
    {"left deep failure before right", [] { return add(add(lit_int(1), lit_str("x")), var("second")); },
     "error: Binary operator for unknown type"},
};
INSTANTIATE_TEST_SUITE_P(KindFailures, Evaluates, ::testing::ValuesIn(kKindFailures));

const Case kEquality[] = {
    {"null null", [] { return Expr::equals(lit_null(), lit_null()); }, "Boolean(true)"},
    {"null false", [] { return Expr::equals(lit_null(), lit_bool(false)); }, "Boolean(false)"},
    {"int float", [] { return Expr::equals(lit_int(1), lit_float(1.0)); }, "Boolean(false)"},
    {"strings differ in length", [] { return Expr::equals(lit_str("ab"), lit_str("abc")); }, "Boolean(false)"},
    {"strings equal", [] { return Expr::equals(lit_str(std::string("a\0b", 3)), lit_str(std::string("a\0b", 3))); }, "Boolean(true)"},
    {"zeros", [] { return Expr::equals(lit_float(0.0), lit_float(-0.0)); }, "Boolean(true)"},
    {"nan", [] { return Expr::equals(lit_float(kNaN), lit_float(kNaN)); }, "Boolean(false)"},
    {"bools", [] { return Expr::equals(lit_bool(true), lit_bool(true)); }, "Boolean(true)"},
    {"bools differ", [] { return Expr::equals(lit_bool(true), lit_bool(false)); }, "Boolean(false)"},
    {"ints", [] { return Expr::equals(lit_int(kMin), lit_int(kMin)); }, "Boolean(true)"},
    {"string vs number", [] { return Expr::equals(lit_str("1"), lit_int(1)); }, "Boolean(false)"},
};
INSTANTIATE_TEST_SUITE_P(Equality, Evaluates, ::testing::ValuesIn(kEquality));

const Case kOrdering[] = {
    {"int float same value gt", [] { return Expr::greater_than(lit_int(1), lit_float(1.0)); }, "Boolean(false)"},
    {"int float same value lt", [] { return Expr::less_than(lit_int(1), lit_float(1.0)); }, "Boolean(false)"},
    {"+0 > -0", [] { return Expr::greater_than(lit_float(0.0), lit_float(-0.0)); }, "Boolean(true)"},
    {"int 0 > -0.0", [] { return Expr::greater_than(lit_int(0), lit_float(-0.0)); }, "Boolean(true)"},
    {"nan > inf", [] { return Expr::greater_than(lit_float(kNaN), lit_float(kInf)); }, "Boolean(true)"},
    {"nan > max int", [] { return Expr::greater_than(lit_float(kNaN), lit_int(kMax)); }, "Boolean(true)"},
    {"-nan < -inf", [] { return Expr::less_than(lit_float(-kNaN), lit_float(-kInf)); }, "Boolean(true)"},
    {"-nan < min int", [] { return Expr::less_than(lit_float(-kNaN), lit_int(kMin)); }, "Boolean(true)"},
    {"nan not > same nan", [] { return Expr::greater_than(lit_float(kNaN), lit_float(kNaN)); }, "Boolean(false)"},
    {"2^53+1 vs 2^53 gt", [] { return Expr::greater_than(lit_int((std::int64_t{1} << 53) + 1), lit_float(9007199254740992.0)); },
     "Boolean(false)"},
    {"2^53+1 vs 2^53 lt", [] { return Expr::less_than(lit_int((std::int64_t{1} << 53) + 1), lit_float(9007199254740992.0)); },
     "Boolean(false)"},
    {"2^53+1 vs 2^53 eq", [] { return Expr::equals(lit_int((std::int64_t{1} << 53) + 1), lit_float(9007199254740992.0)); },
     "Boolean(false)"},
    {"ints signed", [] { return Expr::less_than(lit_int(-1), lit_int(0)); }, "Boolean(true)"},
    {"min < max", [] { return Expr::less_than(lit_int(kMin), lit_int(kMax)); }, "Boolean(true)"},
    {"-1.5 < -1", [] { return Expr::less_than(lit_float(-1.5), lit_int(-1)); }, "Boolean(true)"},
    {"-inf < -1e308", [] { return Expr::less_than(lit_float(-kInf), lit_float(-1e308)); }, "Boolean(true)"},
};
INSTANTIATE_TEST_SUITE_P(Ordering, Evaluates, ::testing::ValuesIn(kOrdering));

TEST(Variables, IdentYieldsTheStoredObjectItself) {
    Machine m;
    m.bind(Identifier::s("x"), ValueRef::make(S("stored")));
    ValueRef a = evaluate(m, var("x"));
    ValueRef b = evaluate(m, var("x"));
    EXPECT_EQ(inspect::identity(a), inspect::identity(b));
    EXPECT_EQ(inspect::use_count(a), 3u);  // the store, a and b
    { ValueRef drop = std::move(b); }
    EXPECT_EQ(inspect::use_count(a), 2u);
    // A fresh result never refers to an operand.
    ValueRef joined = evaluate(m, add(var("x"), lit_str("")));
    EXPECT_NE(inspect::identity(joined), inspect::identity(a));
    EXPECT_EQ(joined->as_string(), "stored");
    EXPECT_EQ(inspect::use_count(a), 2u);
}

TEST(Variables, OperandsReadTheStoredValueAndLeaveItsCountAsItWas) {
    Machine m;
    m.bind(Identifier::s("n"), ValueRef::make(I(20)));
    m.bind(Identifier::s("f"), ValueRef::make(Value::number(Number::from_float(0.5))));
    m.bind(Identifier::s("b"), ValueRef::make(Value::boolean(true)));
    m.bind(Identifier::s("z"), ValueRef::make(Value::null()));
    m.bind(Identifier::s("s"), ValueRef::make(S(std::string(40, 'q'))));
    const ValueRef n = m.get(Identifier::s("n"));
    const ValueRef s = m.get(Identifier::s("s"));
    EXPECT_EQ(debug_text(*evaluate(m, add(mul(var("n"), var("f")), var("n")))), "Number(Float(30.0))");
    EXPECT_EQ(debug_text(*evaluate(m, Expr::not_(var("b")))), "Boolean(false)");
    EXPECT_EQ(debug_text(*evaluate(m, Expr::equals(var("z"), lit_null()))), "Boolean(true)");
    EXPECT_EQ(evaluate(m, add(var("s"), var("s")))->as_string(), std::string(80, 'q'));
    EXPECT_EQ(inspect::use_count(n), 2u);  // the store and `n`
    EXPECT_EQ(inspect::use_count(s), 2u);
    EXPECT_EQ(outcome(m, add(var("n"), var("missing"))), "error: Value cannot be found: S(\"missing\")");
}

TEST(Variables, NumberAndTextIdentifiersAreDistinct) {
    Machine m;
    m.bind(Identifier::s("1"), ValueRef::make(I(5)));
    EXPECT_EQ(outcome(m, var_u(1)), "error: Value cannot be found: U(1)");
    EXPECT_EQ(outcome(m, var("1")), "Number(Int(5))");
}

// Int arithmetic against 128-bit reference arithmetic; ordering against a
// direct totalOrder over random bit patterns.
TEST(Properties, IntArithmeticWrapsLike128BitReference) {
    std::mt19937_64 rng(12345);
    const std::int64_t edges[] = {0, 1, -1, 2, -2, kMax, kMin, kMax - 1, kMin + 1, 1LL << 32, -(1LL << 32)};
    auto pick = [&](int i) -> std::int64_t {
        if (i % 3 == 0) return edges[rng() % std::size(edges)];
        return static_cast<std::int64_t>(rng());
    };
    Machine m;
    for (int i = 0; i < 20000; ++i) {
        const std::int64_t a = pick(i), b = pick(i / 3 + 1);
        const __int128 wide_sum = static_cast<__int128>(a) + b;
        const __int128 wide_diff = static_cast<__int128>(a) - b;
        const __int128 wide_prod = static_cast<__int128>(a) * b;
        auto low64 = [](__int128 v) { return static_cast<std::int64_t>(static_cast<std::uint64_t>(v)); };
        EXPECT_EQ(evaluate(m, add(lit_int(a), lit_int(b)))->as_number().as_int(), low64(wide_sum));
        EXPECT_EQ(evaluate(m, sub(lit_int(a), lit_int(b)))->as_number().as_int(), low64(wide_diff));
        EXPECT_EQ(evaluate(m, mul(lit_int(a), lit_int(b)))->as_number().as_int(), low64(wide_prod));
        if (b != 0 && !(a == kMin && b == -1)) {
            EXPECT_EQ(evaluate(m, div(lit_int(a), lit_int(b)))->as_number().as_int(),
                      static_cast<std::int64_t>(static_cast<__int128>(a) / b));
        }
        EXPECT_EQ(evaluate(m, Expr::less_than(lit_int(a), lit_int(b)))->as_boolean(), a < b);
        EXPECT_EQ(evaluate(m, Expr::greater_than(lit_int(a), lit_int(b)))->as_boolean(), a > b);
    }
}

// totalOrder by its definition: the sign first, then magnitude (reversed
// for negatives), written independently of the implementation's key trick.
int reference_total_order(double x, double y) {
    const auto bx = std::bit_cast<std::uint64_t>(x), by = std::bit_cast<std::uint64_t>(y);
    const bool nx = bx >> 63, ny = by >> 63;
    if (nx != ny) return nx ? -1 : 1;
    const std::uint64_t mx = bx & ~(1ULL << 63), my = by & ~(1ULL << 63);
    if (mx == my) return 0;
    const int magnitude = mx < my ? -1 : 1;
    return nx ? -magnitude : magnitude;
}

TEST(Properties, FloatOrderingIsTotalOrderOverRandomBits) {
    std::mt19937_64 rng(777);
    Machine m;
    for (int i = 0; i < 20000; ++i) {
        double x = std::bit_cast<double>(rng());
        double y = (i % 4 == 0) ? x : std::bit_cast<double>(rng());
        if (i % 5 == 0) y = -x;
        const int want = reference_total_order(x, y);
        EXPECT_EQ(evaluate(m, Expr::greater_than(lit_float(x), lit_float(y)))->as_boolean(), want > 0);
        EXPECT_EQ(evaluate(m, Expr::less_than(lit_float(x), lit_float(y)))->as_boolean(), want < 0);
    }
}

TEST(Properties, MixedOrderingConvertsTheIntSide) {
    std::mt19937_64 rng(99);
    Machine m;
    for (int i = 0; i < 5000; ++i) {
        const auto a = static_cast<std::int64_t>(rng());
        const double y = std::bit_cast<double>(rng());
        const int want = reference_total_order(static_cast<double>(a), y);
        EXPECT_EQ(evaluate(m, Expr::greater_than(lit_int(a), lit_float(y)))->as_boolean(), want > 0);
        EXPECT_EQ(evaluate(m, Expr::less_than(lit_float(y), lit_int(a)))->as_boolean(), want > 0);
    }
}

std::string printed(const SourcePosition& at) {
    return std::string(at.file) + ":" + std::to_string(at.line) + ":" + std::to_string(at.column);
}

// Every failure the core raises, brought about as a caller meets it, with
// its whole message and the place the fault report prints for it. Readers
// of reports match on those places, so they are written out here rather
// than read from the catalogue: moving one is a change of the report.
TEST(EvalError, EachFailureCarriesItsMessageAndReportedPlace) {
    struct Row {
        void (*cause)();
        const char* message;
        const char* reported_at;  // as the report prints it: file:line:column
    };
    const Row rows[] = {
        {[] { (void)evaluate(Machine(), var("nope")); }, "Value cannot be found: S(\"nope\")",
         "crates/velk/src/lib:234:30"},
        {[] { run(Machine(), list(Statement::if_(lit_int(1), list(), list()))); },
         "Expected deduced condition to be a bool, got other type", "crates/velk/src/lib:247:21"},
        {[] { (void)evaluate(Machine(), sub(lit_str("a"), lit_str("b"))); },
         "Unknown binary operation for Value::String", "crates/velk/src/lib:283:26"},
        {[] { (void)evaluate(Machine(), add(lit_null(), lit_null())); }, "Binary operator for unknown type",
         "crates/velk/src/lib:291:17"},
        {[] { (void)evaluate(Machine(), Expr::not_(lit_null())); },
         "The not expression must be used on a boolean value", "crates/velk/src/lib:303:17"},
        {[] { (void)evaluate(Machine(), Expr::greater_than(lit_null(), lit_null())); },
         "Both left-hand and right-hand side values must be a number", "crates/velk/src/lib:309:17"},
        {[] { (void)evaluate(Machine(), Expr::less_than(lit_null(), lit_null())); },
         "Both left-hand and right-hand side values must be a number", "crates/velk/src/lib:321:17"},
        {[] { (void)evaluate(Machine(), div(lit_int(1), lit_int(0))); }, "attempt to divide by zero",
         "crates/velk/src/lib:103:5"},
        {[] { (void)evaluate(Machine(), div(lit_int(kMin), lit_int(-1))); }, "attempt to divide with overflow",
         "crates/velk/src/lib:103:5"},
        {[] { ShardedMap map(1, SipKey{1, 2}); }, "assertion failed: shard_amount > 1", "crates/velk/src/lib:82:9"},
        {[] { ShardedMap map(12, SipKey{1, 2}); }, "assertion failed: shard_amount.is_power_of_two()",
         "crates/velk/src/lib:83:9"},
        {[] { RawRwLock(RawRwLock::kMaxReaders * RawRwLock::kOneReader).lock_shared(); },
         "reader count overflowed", "crates/velk/src/lib:1002:13"},
        {[] {
             Machine m;
             m.set_limits(Limits{.max_text = 5});
             (void)evaluate(m, add(lit_str("abc"), lit_str("abc")));
         },
         "Limit exceeded: max_text=5", "velk/limits:1:0"},
        {[] {
             Machine m;
             m.set_limits(Limits{.max_bytes = 5});
             run(m, list(let("s", lit_str("abcdef"))));
         },
         "Limit exceeded: max_bytes=5", "velk/limits:2:0"},
        {[] {
             Machine m;
             m.set_limits(Limits{.max_steps = 1});
             run(m, list(let("s", lit_int(1))));
         },
         "Limit exceeded: max_steps=1", "velk/limits:3:0"},
    };
    std::vector<std::pair<std::string, std::string>> raised;  // message, place
    for (const Row& row : rows) {
        try {
            row.cause();
            ADD_FAILURE() << "no failure: " << row.message;
        } catch (const EvalError& e) {
            const std::string place = printed(e.where());
            EXPECT_EQ(e.message(), row.message);
            EXPECT_EQ(place, row.reported_at) << row.message;
            EXPECT_STREQ(e.what(), e.message().c_str());
            raised.emplace_back(e.message(), place);
        }
    }
    // No failure a program can meet is missing from the rows above.
    for (const Failure& f : failures::kLanguage) {
        const std::string place = printed(f.where);
        EXPECT_TRUE(std::ranges::any_of(raised, [&](const auto& r) {
            return r.first.starts_with(f.message) && r.second == place;
        })) << f.message;
    }
}

}  // namespace
}  // namespace velk
