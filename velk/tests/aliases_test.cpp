// The short names of velk/aliases.hpp reach the operations they stand for,
// with their results and failures.
#include "velk/aliases.hpp"

#include <gtest/gtest.h>

#include "inspect.hpp"
#include "tree_builders.hpp"
#include "velk/debug_text.hpp"
#include "velk/eval_error.hpp"

namespace velk {
namespace {

using namespace velk::test;

std::string failure_of(void (*call)(const Machine&), const Machine& m) {
    try {
        call(m);
        return "";
    } catch (const EvalError& e) {
        return e.message();
    }
}

TEST(Aliases, ForwardToTheOperations) {
    Machine m;
    deduce(m, list(let("x", lit_int(2)), let("s", lit_str("ab"))));
    EXPECT_EQ(debug_text(*deduce_expr(m, add(var("x"), lit_int(3)))), "Number(Int(5))");

    const Identifier y = Identifier::s("y");
    const ValueRef first = ValueRef::make(Value::boolean(true));
    EXPECT_FALSE(_insert(m, y, first).has_value());
    const std::optional<ValueRef> previous = _insert(m, y, ValueRef::make(Value::null()));
    ASSERT_TRUE(previous.has_value());
    EXPECT_EQ(inspect::identity(*previous), inspect::identity(first));
    EXPECT_EQ(inspect::identity(_get(m, Identifier::s("s"))), inspect::identity(m.get(Identifier::s("s"))));

    EXPECT_EQ(failure_of([](const Machine& on) { deduce(on, list(let("z", var("nope")))); }, m),
              "Value cannot be found: S(\"nope\")");
    EXPECT_EQ(failure_of([](const Machine& on) { (void)deduce_expr(on, var("nope")); }, m),
              "Value cannot be found: S(\"nope\")");
    EXPECT_EQ(failure_of([](const Machine& on) { (void)_get(on, Identifier::s("nope")); }, m),
              "Value cannot be found: S(\"nope\")");
}

TEST(Aliases, CloneCopiesEveryKindOfTree) {
    const Expr e = add(var("x"), lit_str("t"));
    const Expr e_copy = clone(e);
    EXPECT_NE(inspect::identity(e_copy), inspect::identity(e));
    EXPECT_EQ(show(e_copy), show(e));

    const Statement s = let("x", e);
    const Statement s_copy = clone(s);
    EXPECT_NE(inspect::identity(s_copy), inspect::identity(s));
    EXPECT_NE(inspect::identity(s_copy.get_if<Statement::Let>()->expr), inspect::identity(e));
    EXPECT_EQ(show(s_copy), show(s));

    const StatementList l = list(s, s);
    const StatementList l_copy = clone(l);
    ASSERT_EQ(l_copy.size(), 2u);
    EXPECT_NE(inspect::identity(l_copy[0]), inspect::identity(s));
    EXPECT_NE(inspect::identity(l_copy[0]), inspect::identity(l_copy[1]));
    EXPECT_EQ(show(l_copy), show(l));
}

}  // namespace
}  // namespace velk
