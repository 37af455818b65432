// The short names of velk/aliases.hpp behave as the operations they stand
// for: over a table of programs that succeed and fail in each way, a
// machine driven through the short names ends in the same state, with the
// same failure, as one driven through the descriptive names.
#include "velk/aliases.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "inspect.hpp"
#include "tree_builders.hpp"
#include "velk/debug_text.hpp"
#include "velk/eval_error.hpp"

namespace velk {
namespace {

using namespace velk::test;

// What a call left behind: its result or failure, then every variable in
// name order (two machines hash under different keys, so their own orders
// differ).
template <class Call>
std::string outcome(const Machine& m, Call call) {
    std::string result;
    try {
        result = call();
    } catch (const EvalError& e) {
        result = "error: " + e.message();
    }
    std::map<std::string, std::string> vars;
    m.each_variable([&](const Identifier& name, const Value& value) { vars[debug_text(name)] = debug_text(value); });
    for (const auto& [name, value] : vars) result += " | " + name + " = " + value;
    return result;
}

struct Program {
    const char* name;
    StatementList (*statements)();
    Expr (*expr)();  // evaluated after the statements
};

const Program kPrograms[] = {
    {"binds and reads", [] { return list(let("x", lit_int(2)), let("s", lit_str("ab"))); },
     [] { return add(var("x"), lit_int(3)); }},
    {"missing name", [] { return list(let("x", lit_int(1)), let("y", var("nope")), let("z", lit_int(3))); },
     [] { return var("nope"); }},
    {"wrong operands", [] { return list(let("a", lit_str("t")), let("b", sub(var("a"), var("a")))); },
     [] { return Expr::not_(var("a")); }},
    {"condition not a boolean",
     [] { return list(let("c", lit_int(0)), Statement::if_(var("c"), list(let("t", lit_int(1))), {})); },
     [] { return div(lit_int(1), var("c")); }},
    {"shared subtree", [] {
         const Expr shared = add(lit_int(1), lit_int(2));
         return list(let("p", mul(shared, shared)), let("q", Expr::equals(shared, lit_int(3))));
     },
     [] { return Expr::greater_than(var("p"), var("q")); }},
};

TEST(Aliases, DriveAMachineAsTheOperationsDo) {
    for (const Program& p : kPrograms) {
        Machine by_alias, by_name;
        EXPECT_EQ(outcome(by_alias, [&] { deduce(by_alias, p.statements()); return std::string(); }),
                  outcome(by_name, [&] { run(by_name, p.statements()); return std::string(); }))
            << p.name;
        EXPECT_EQ(outcome(by_alias, [&] { return debug_text(*deduce_expr(by_alias, p.expr())); }),
                  outcome(by_name, [&] { return debug_text(*evaluate(by_name, p.expr())); }))
            << p.name;

        const Identifier fresh = Identifier::s("fresh");
        const ValueRef value = ValueRef::make(Value::boolean(true));
        EXPECT_EQ(outcome(by_alias, [&] { return std::to_string(_insert(by_alias, fresh, value).has_value()); }),
                  outcome(by_name, [&] { return std::to_string(by_name.bind(fresh, value).has_value()); }))
            << p.name;
        for (const char* name : {"x", "a", "p", "nope"}) {
            EXPECT_EQ(outcome(by_alias, [&] { return debug_text(*_get(by_alias, Identifier::s(name))); }),
                      outcome(by_name, [&] { return debug_text(*by_name.get(Identifier::s(name))); }))
                << p.name << ": " << name;
        }
    }
}

// A clone through each short name (list, statement, expression) is a new
// node that shows the same tree.
TEST(Aliases, CloneCopiesEveryNode) {
    for (const Program& p : kPrograms) {
        const StatementList original = p.statements();
        const StatementList copy = clone(original);
        ASSERT_EQ(copy.size(), original.size()) << p.name;
        EXPECT_EQ(show(copy), show(original)) << p.name;
        for (std::size_t i = 0; i < copy.size(); ++i) {
            EXPECT_NE(inspect::identity(clone(original[i])), inspect::identity(original[i])) << p.name;
            EXPECT_NE(inspect::identity(copy[i]), inspect::identity(original[i])) << p.name;
            if (const auto* let = original[i].get_if<Statement::Let>()) {
                const Expr expr_copy = clone(let->expr);
                EXPECT_NE(inspect::identity(expr_copy), inspect::identity(let->expr)) << p.name;
                EXPECT_EQ(show(expr_copy), show(let->expr)) << p.name;
                EXPECT_NE(inspect::identity(copy[i].get_if<Statement::Let>()->expr), inspect::identity(let->expr))
                    << p.name;
            }
        }
    }
}

}  // namespace
}  // namespace velk
