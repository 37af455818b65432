#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>

#include "tree_builders.hpp"
#include "inspect.hpp"
#include "velk/tree.hpp"

namespace velk {
namespace {

using namespace velk::test;

TEST(Tree, OperatorIsOneByteWithFixedIndices) {
    EXPECT_EQ(sizeof(BinaryOperator), 1u);
    EXPECT_EQ(static_cast<int>(BinaryOperator::Add), 0);
    EXPECT_EQ(static_cast<int>(BinaryOperator::Div), 3);
    EXPECT_EQ(static_cast<int>(Expr::Kind::LessThan), 6);
    EXPECT_EQ(lit_null().kind(), Expr::Kind::Literal);
    EXPECT_EQ(var("x").kind(), Expr::Kind::Ident);
    EXPECT_EQ(Expr::not_(lit_bool(true)).kind(), Expr::Kind::Not);
    EXPECT_EQ(Expr::equals(lit_null(), lit_null()).kind(), Expr::Kind::Equals);
    EXPECT_EQ(Expr::greater_than(lit_null(), lit_null()).kind(), Expr::Kind::GreaterThan);
    EXPECT_EQ(Expr::less_than(lit_null(), lit_null()).kind(), Expr::Kind::LessThan);
}

// A literal operand is read from the node's own copy, except for null and
// a text whose copy would allocate, which are read from the shared value:
// either way the run sees the same value, bit for bit.
TEST(Tree, LiteralOperandIsItsValueReadFromTheNodeWhenACopyIsFree) {
    struct Case {
        const char* name;
        Expr literal;
        bool in_node;
    };
    const Case cases[] = {
        {"null", lit_null(), false},
        {"true", lit_bool(true), true},
        {"false", lit_bool(false), true},
        {"Int", lit_int(-7), true},
        {"Int min", lit_int(std::numeric_limits<std::int64_t>::min()), true},
        {"Float -0.0", lit_float(-0.0), true},
        {"Float NaN", lit_float(std::numeric_limits<double>::quiet_NaN()), true},
        {"empty text", lit_str(""), true},
        {"15-byte text", lit_str("fifteen bytes!!"), true},
        {"16-byte text", lit_str("sixteen bytes!!!"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto& lit = *c.literal.get_if<Expr::Literal>();
        const Value& operand = lit.operand();
        EXPECT_EQ(&operand == lit.value.get(), !c.in_node);
        ASSERT_EQ(operand.kind(), lit.value->kind());
        if (operand.is_number()) {
            const Number& a = operand.as_number();
            const Number& b = lit.value->as_number();
            ASSERT_EQ(a.kind(), b.kind());
            if (a.is_int()) EXPECT_EQ(a.as_int(), b.as_int());
            else EXPECT_EQ(std::bit_cast<std::uint64_t>(a.as_float()), std::bit_cast<std::uint64_t>(b.as_float()));
        } else {
            EXPECT_TRUE(operand == *lit.value);
        }
    }
}

TEST(Tree, CloneDuplicatesEveryTextAndSurvivesTheSource) {
    auto copy = [] {
        Expr src = Expr::equals(add(lit_str("a long text well past any inline buffer"), var("name")),
                                Expr::not_(Expr::less_than(var_u(7), lit_float(2.5))));
        Expr c = src.clone();
        // The copy owns its own text buffers.
        const auto& lit = *c.get_if<Expr::Equals>()->left.get_if<Expr::BinaryOp>()->left.get_if<Expr::Literal>();
        const auto& orig = *src.get_if<Expr::Equals>()->left.get_if<Expr::BinaryOp>()->left.get_if<Expr::Literal>();
        EXPECT_NE(lit.value->as_string().data(), orig.value->as_string().data());
        EXPECT_NE(inspect::identity(c), inspect::identity(src));
        return c;
    }();
    EXPECT_EQ(show(copy),
              "((String(\"a long text well past any inline buffer\") + S(\"name\")) == "
              "!(U(7) < Number(Float(2.5))))");
}

TEST(Tree, OperandAndItsCopyAreIndependent) {
    Expr shared = add(var("x"), lit_int(1));
    Expr both = Expr::binary_op(shared.clone(), BinaryOperator::Mul, shared.clone());
    EXPECT_EQ(show(both), "((S(\"x\") + Number(Int(1))) * (S(\"x\") + Number(Int(1))))");
    { Expr drop = std::move(both); }
    EXPECT_EQ(show(shared), "(S(\"x\") + Number(Int(1)))");
}

TEST(Tree, StatementCloneKeepsEveryOrder) {
    StatementList prog = list(
        let("a", sub(lit_int(1), lit_int(2))),
        Statement::if_(var("c"),
                       list(let("t1", lit_int(1)),
                            Statement::if_(lit_bool(false), list(let("deep", lit_str("d"))), {}),
                            let("t2", lit_int(2))),
                       list(let("o1", lit_int(3)), let("o2", lit_int(4)))),
        Statement::if_(lit_bool(true), {}, {}),
        let("z", div(var("a"), var("b"))));
    const std::string expected = show(prog);
    StatementList copy = clone_list(prog);
    ASSERT_EQ(copy.size(), prog.size());
    EXPECT_EQ(show(copy), expected);
    { StatementList gone = std::move(prog); }
    EXPECT_EQ(show(copy), expected);
    const auto& inner = *copy[1].get_if<Statement::If>();
    EXPECT_EQ(inner.then.size(), 3u);
    EXPECT_EQ(inner.then.capacity(), 3u);  // copied into a list of exactly that length
    EXPECT_EQ(inner.otherwise.size(), 2u);

    Statement single = copy[1].clone();
    EXPECT_EQ(show(single), show(copy[1]));
}

TEST(Tree, OneOperandTwiceIsOneSharedNode) {
    Expr x = add(var("x"), lit_int(1));
    Expr both = Expr::equals(x, x);
    const auto& eq = *both.get_if<Expr::Equals>();
    EXPECT_EQ(inspect::identity(eq.left), inspect::identity(eq.right));
    EXPECT_EQ(inspect::use_count(x), 3u);
    { Expr drop = std::move(both); }
    EXPECT_EQ(inspect::use_count(x), 1u);
    EXPECT_EQ(show(x), "(S(\"x\") + Number(Int(1)))");

    Statement s = let("y", x);
    StatementList branch = list(s, s);
    Statement cond = Statement::if_(lit_bool(true), branch, branch);
    EXPECT_EQ(inspect::use_count(s), 7u);  // s itself, two in `branch`, two in each of the if's lists
    cond = let("z", lit_null());
    branch.clear();
    EXPECT_EQ(inspect::use_count(s), 1u);
    EXPECT_EQ(show(s), "let S(\"y\") = (S(\"x\") + Number(Int(1)));");
}

TEST(Tree, MoveAssignmentReleasesThePreviousTree) {
    Expr e = add(var("a"), var("b"));
    e = Expr::not_(lit_bool(true));
    EXPECT_EQ(show(e), "!Boolean(true)");
    Statement s = let("x", lit_int(1));
    s = Statement::if_(lit_bool(true), list(let("y", lit_int(2))), {});
    EXPECT_EQ(show(s), "if Boolean(true) {let S(\"y\") = Number(Int(2));} else {}");
}

// Trees far deeper than the native stack could recurse through: built,
// copied and dropped on a thread with a 256 KiB stack.
constexpr int kDeep = 1'000'000;

TEST(TreeDepth, DeepExpressionsCopyAndDropOnASmallStack) {
    bool done = false;
    ASSERT_TRUE(run_on_small_stack(kSmallStack, [&] {
        Expr left_deep = lit_int(0);
        Expr right_deep = lit_int(0);
        Expr nots = lit_bool(true);
        for (int i = 0; i < kDeep; ++i) {
            left_deep = add(std::move(left_deep), lit_int(i));
            right_deep = Expr::less_than(var("v"), std::move(right_deep));
            nots = Expr::not_(std::move(nots));
        }
        Expr c1 = left_deep.clone();
        Expr c2 = right_deep.clone();
        Expr c3 = nots.clone();
        EXPECT_EQ(c1.kind(), Expr::Kind::BinaryOp);
        EXPECT_EQ(c2.kind(), Expr::Kind::LessThan);
        EXPECT_EQ(c3.kind(), Expr::Kind::Not);
        done = true;
    }));
    EXPECT_TRUE(done);
}

TEST(TreeDepth, DeepStatementNestingCopiesAndDropsOnASmallStack) {
    bool done = false;
    ASSERT_TRUE(run_on_small_stack(kSmallStack, [&] {
        Statement s = let("x", lit_int(0));
        for (int i = 0; i < kDeep; ++i) {
            StatementList then = list(std::move(s));
            StatementList otherwise = list(let("o", lit_int(i)));
            s = Statement::if_(lit_bool(true), std::move(then), std::move(otherwise));
        }
        Statement copy = s.clone();
        EXPECT_EQ(copy.kind(), Statement::Kind::If);
        StatementList many = list(std::move(s), std::move(copy));
        StatementList copies = clone_list(many);
        EXPECT_EQ(copies.size(), 2u);
        done = true;
    }));
    EXPECT_TRUE(done);
}

}  // namespace
}  // namespace velk
