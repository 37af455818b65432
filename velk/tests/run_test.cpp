#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tree_builders.hpp"
#include "inspect.hpp"
#include "velk/debug_text.hpp"
#include "velk/eval.hpp"
#include "velk/eval_error.hpp"

namespace velk {
namespace {

using namespace velk::test;

// The failure message of running `prog`, or "" when it ran through.
std::string failure_of(const Machine& m, StatementList prog) {
    try {
        run(m, std::move(prog));
        return "";
    } catch (const EvalError& e) {
        return e.message();
    }
}

std::string value_of(const Machine& m, const std::string& name) {
    try {
        return debug_text(*m.get(Identifier::s(name)));
    } catch (const EvalError&) {
        return "unbound";
    }
}

TEST(Statements, LetSeesThePreviousBinding) {
    Machine m;
    EXPECT_EQ(failure_of(m, list(let("x", lit_int(1)), let("x", add(var("x"), lit_int(1))))), "");
    EXPECT_EQ(value_of(m, "x"), "Number(Int(2))");
    EXPECT_EQ(failure_of(m, list(let("y", add(var("y"), lit_int(1))))), "Value cannot be found: S(\"y\")");
    EXPECT_EQ(value_of(m, "y"), "unbound");
}

TEST(Statements, RebindingChangesKindAndKeepsOldReferencesIntact) {
    Machine m;
    failure_of(m, list(let("x", lit_int(1))));
    ValueRef before = m.get(Identifier::s("x"));
    EXPECT_EQ(inspect::use_count(before), 2u);
    failure_of(m, list(let("x", lit_str("now a string"))));
    EXPECT_EQ(debug_text(*before), "Number(Int(1))");
    EXPECT_EQ(inspect::use_count(before), 1u);  // the store let go of it
    EXPECT_EQ(value_of(m, "x"), "String(\"now a string\")");
}

TEST(Statements, FirstFailureStopsAndEarlierEffectsStay) {
    Machine m;
    EXPECT_EQ(failure_of(m, list(let("a", lit_int(1)), let("b", var("c")), let("d", lit_int(2)))),
              "Value cannot be found: S(\"c\")");
    EXPECT_EQ(value_of(m, "a"), "Number(Int(1))");
    EXPECT_EQ(value_of(m, "b"), "unbound");
    EXPECT_EQ(value_of(m, "d"), "unbound");
    // A failure inside a branch abandons the enclosing lists too.
    EXPECT_EQ(failure_of(m, list(Statement::if_(lit_bool(true),
                                         list(let("in1", lit_int(1)), let("bad", div(lit_int(1), lit_int(0))),
                                              let("in2", lit_int(2))),
                                         {}),
                          let("after", lit_int(3)))),
              "attempt to divide by zero");
    EXPECT_EQ(value_of(m, "in1"), "Number(Int(1))");
    EXPECT_EQ(value_of(m, "in2"), "unbound");
    EXPECT_EQ(value_of(m, "after"), "unbound");
    // Still usable afterwards.
    EXPECT_EQ(failure_of(m, list(let("after", lit_int(3)))), "");
    EXPECT_EQ(value_of(m, "after"), "Number(Int(3))");
}

TEST(Statements, ConditionMustBeABoolean) {
    const char* kMessage = "Expected deduced condition to be a bool, got other type";
    Expr (*conditions[])() = {[] { return lit_int(0); }, [] { return lit_int(1); }, [] { return lit_str("true"); },
                              [] { return lit_null(); }, [] { return lit_float(1.0); }};
    for (auto cond : conditions) {
        Machine m;
        EXPECT_EQ(failure_of(m, list(Statement::if_(cond(), list(let("t", lit_int(1))), list(let("o", lit_int(2)))))),
                  kMessage);
        EXPECT_EQ(value_of(m, "t"), "unbound");
        EXPECT_EQ(value_of(m, "o"), "unbound");
    }
    Machine m;
    EXPECT_EQ(failure_of(m, list(Statement::if_(var("nope"), list(let("t", lit_int(1))), {}))),
              "Value cannot be found: S(\"nope\")");
}

TEST(Statements, BranchesShareOneFlatScope) {
    Machine m;
    EXPECT_EQ(failure_of(m, list(let("x", lit_int(3)),
                          Statement::if_(Expr::less_than(var("x"), lit_int(5)),
                                         list(let("small", lit_bool(true)),
                                              Statement::if_(Expr::not_(lit_bool(false)),
                                                             list(let("deep", add(var("x"), var("x")))),
                                                             list(let("never", lit_int(0))))),
                                         list(let("big", lit_bool(true)))),
                          let("after", var("deep")))),
              "");
    EXPECT_EQ(value_of(m, "small"), "Boolean(true)");
    EXPECT_EQ(value_of(m, "deep"), "Number(Int(6))");
    EXPECT_EQ(value_of(m, "after"), "Number(Int(6))");
    EXPECT_EQ(value_of(m, "big"), "unbound");
    EXPECT_EQ(value_of(m, "never"), "unbound");
    // An empty taken list only evaluates the condition.
    EXPECT_EQ(failure_of(m, list(Statement::if_(lit_bool(true), {}, list(let("o", lit_int(1)))))), "");
    EXPECT_EQ(value_of(m, "o"), "unbound");
    EXPECT_EQ(failure_of(m, StatementList{}), "");
}

TEST(Machine, LookupFailsOnAnEmptyMachineAndMachinesAreSeparate) {
    Machine a;
    Machine b;
    failure_of(a, list(let("x", lit_int(1))));
    EXPECT_EQ(value_of(b, "x"), "unbound");
    try {
        a.get(Identifier::u(4294967295u));
        ADD_FAILURE();
    } catch (const EvalError& e) {
        EXPECT_EQ(e.message(), "Value cannot be found: U(4294967295)");
    }
    try {
        a.get(Identifier::s("tab\there \"q\" \\"));
        ADD_FAILURE();
    } catch (const EvalError& e) {
        EXPECT_EQ(e.message(), "Value cannot be found: S(\"tab\\there \\\"q\\\" \\\\\")");
    }
}

TEST(Machine, DebugTextListsEveryBinding) {
    Machine m;
    EXPECT_EQ(m.debug_text(), "Machine { vars: {} }");
    failure_of(m, list(let("x", lit_int(1))));
    EXPECT_EQ(m.debug_text(), "Machine { vars: {S(\"x\"): Number(Int(1))} }");
    StatementList more;
    more.push_back(Statement::let(Identifier::u(3), lit_str("a")));
    failure_of(m, std::move(more));
    const std::string text = m.debug_text();
    // The order follows the store; both orders are valid.
    EXPECT_TRUE(text == "Machine { vars: {S(\"x\"): Number(Int(1)), U(3): String(\"a\")} }" ||
                text == "Machine { vars: {U(3): String(\"a\"), S(\"x\"): Number(Int(1))} }")
        << text;
    failure_of(m, list(let("f", lit_float(1e16)), let("n", lit_null()), let("b", lit_bool(false))));
    const std::string all = m.debug_text();
    for (const char* part : {"S(\"f\"): Number(Float(1e16))", "S(\"n\"): Null", "S(\"b\"): Boolean(false)"}) {
        EXPECT_NE(all.find(part), std::string::npos) << all;
    }
}

// Expressions and statements nested a million levels, evaluated on a thread
// with a 256 KiB stack.
constexpr int kDeep = 1'000'000;

TEST(Depth, DeepExpressionsEvaluateOnASmallStack) {
    std::string sum, chain, nots, failure;
    ASSERT_TRUE(run_on_small_stack(kSmallStack, [&] {
        Machine m;
        run(m, list(let("one", lit_int(1))));
        Expr left = lit_int(0);
        Expr right = lit_int(0);
        Expr n = lit_bool(true);
        for (int i = 0; i < kDeep; ++i) {
            left = add(std::move(left), var("one"));
            right = add(lit_int(1), std::move(right));
            n = Expr::not_(std::move(n));
        }
        Expr failing = lit_int(0);
        for (int i = 0; i < kDeep; ++i) failing = add(lit_int(1), std::move(failing));
        failing = add(std::move(failing), lit_str("boom"));
        sum = debug_text(*evaluate(m, std::move(left)));
        chain = debug_text(*evaluate(m, std::move(right)));
        nots = debug_text(*evaluate(m, std::move(n)));
        try {
            evaluate(m, std::move(failing));
        } catch (const EvalError& e) {
            failure = e.message();
        }
    }));
    EXPECT_EQ(sum, "Number(Int(1000000))");
    EXPECT_EQ(chain, "Number(Int(1000000))");
    EXPECT_EQ(nots, "Boolean(true)");  // an even number of negations
    EXPECT_EQ(failure, "Binary operator for unknown type");
}

// Ordinary trees are walked recursively for some levels, deeper subtrees
// by the explicit-stack walk; every depth across that handover gives the
// same values, and the deepest failure still wins over shallower ones.
TEST(Depth, EveryDepthAroundTheWalkHandoverAgrees) {
    Machine m;
    run(m, list(let("one", lit_int(1)), let("s", lit_str("ab"))));
    for (int depth = 1; depth <= 130; ++depth) {
        Expr left = var("one");
        Expr right = lit_int(1);
        Expr text = var("s");
        Expr nots = lit_bool(false);
        Expr failing = div(lit_int(1), lit_int(0));
        for (int i = 1; i < depth; ++i) {
            left = i % 3 == 0 ? sub(std::move(left), lit_int(-1)) : add(std::move(left), var("one"));
            right = mul(lit_int(1), add(lit_int(0), std::move(right)));
            text = add(lit_str(i % 2 ? "x" : ""), std::move(text));
            nots = Expr::not_(std::move(nots));
            // A kind failure at every level above a division by zero.
            failing = add(lit_str("k"), std::move(failing));
        }
        EXPECT_EQ(debug_text(*evaluate(m, std::move(left))), "Number(Int(" + std::to_string(depth) + "))");
        EXPECT_EQ(evaluate(m, std::move(right))->as_number().as_int(), 1) << depth;
        EXPECT_EQ(evaluate(m, std::move(text))->as_string(), std::string(depth / 2, 'x') + "ab") << depth;
        EXPECT_EQ(evaluate(m, std::move(nots))->as_boolean(), depth % 2 == 0) << depth;
        try {
            evaluate(m, std::move(failing));
            ADD_FAILURE() << depth;
        } catch (const EvalError& e) {
            EXPECT_EQ(e.message(), "attempt to divide by zero") << depth;
        }
    }
}

TEST(Depth, DeeplyNestedIfsRunOnASmallStack) {
    std::string innermost, failure, sibling;
    ASSERT_TRUE(run_on_small_stack(kSmallStack, [&] {
        Machine m;
        Statement s = let("inner", lit_str("reached"));
        for (int i = 0; i < kDeep; ++i) {
            s = Statement::if_(lit_bool(i % 2 == 0), i % 2 == 0 ? list(std::move(s)) : StatementList{},
                               i % 2 == 0 ? StatementList{} : list(std::move(s)));
        }
        Statement bad = let("bad", var("missing"));
        for (int i = 0; i < kDeep; ++i) bad = Statement::if_(lit_bool(true), list(std::move(bad)), {});
        run(m, list(std::move(s)));
        try {
            run(m, list(std::move(bad), let("sibling", lit_int(1))));
        } catch (const EvalError& e) {
            failure = e.message();
        }
        innermost = value_of(m, "inner");
        sibling = value_of(m, "sibling");
    }));
    EXPECT_EQ(innermost, "String(\"reached\")");
    EXPECT_EQ(failure, "Value cannot be found: S(\"missing\")");
    EXPECT_EQ(sibling, "unbound");
}

// Several threads run programs on one machine: each increments its own
// counter while all read shared variables. Per-operation atomicity is
// enough for these programs to end with exact totals.
TEST(Concurrency, ThreadsRunOnOneMachine) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    Machine m;
    run(m, list(let("step", lit_int(1)), let("label", lit_str("shared"))));
    for (int t = 0; t < kThreads; ++t) run(m, list(let("c" + std::to_string(t), lit_int(0))));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string mine = "c" + std::to_string(t);
            for (int r = 0; r < kRounds; ++r) {
                try {
                    run(m, list(let(mine, add(var(mine), var("step"))),
                                Statement::if_(Expr::equals(var("label"), lit_str("shared")),
                                               list(let("seen" + std::to_string(t), var("label"))), {})));
                } catch (const EvalError&) {
                    failures.fetch_add(1);
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(value_of(m, "c" + std::to_string(t)), "Number(Int(" + std::to_string(kRounds) + "))");
        EXPECT_EQ(value_of(m, "seen" + std::to_string(t)), "String(\"shared\")");
    }
    // The shared value is one object, referenced by the store under every
    // name bound to it, plus this read.
    EXPECT_EQ(inspect::use_count(m.get(Identifier::s("label"))), 2u + kThreads);
}

// One program, built once, run by several threads at once: on one machine,
// and alternately on two, whose stores hash every name under different
// keys. A hash remembered for the wrong store, or torn between two, would
// send a lookup to the wrong shard ("Value cannot be found") or bind a
// second entry for one name; neither may happen.
TEST(Concurrency, ThreadsRunOneTreeOnOneMachineAndOnTwo) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 3000;
    const StatementList program =
        list(let("sum", add(var("a"), var("b"))),
             Statement::if_(Expr::greater_than(var("sum"), lit_int(0)), list(let("ok", lit_bool(true))),
                            list(let("bad", lit_int(1)))));
    Machine machines[2];
    for (const Machine& m : machines) run(m, list(let("a", lit_int(1)), let("b", lit_int(2))));
    // Alternating on one thread first: each store keeps its own hashes.
    for (int r = 0; r < 4; ++r) ASSERT_EQ(failure_of(machines[r % 2], program), "");
    std::atomic<int> failures{0};
    auto work = [&](int t, bool shared_machine) {
        for (int r = 0; r < kRounds; ++r) {
            if (!failure_of(machines[shared_machine ? 0 : (t + r) % 2], program).empty()) failures.fetch_add(1);
        }
    };
    for (bool shared_machine : {true, false}) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t, shared_machine);
        for (auto& th : threads) th.join();
    }
    EXPECT_EQ(failures.load(), 0);
    for (const Machine& m : machines) {
        EXPECT_EQ(value_of(m, "sum"), "Number(Int(3))");
        EXPECT_EQ(value_of(m, "ok"), "Boolean(true)");
        EXPECT_EQ(value_of(m, "bad"), "unbound");
        std::size_t entries = 0;
        m.each_variable([&](const Identifier&, const Value&) { ++entries; });
        EXPECT_EQ(entries, 4u);  // a, b, sum, ok: one entry each
    }
}

// Trees built by threads, each on its own chunks, then dropped by the other
// threads at once, with subtrees shared between the threads' trees: every
// chunk's count sees frees from several threads, and each chunk is given
// back exactly once (a second give-back would hand its blocks out twice).
TEST(Concurrency, ThreadsDropTreesBuiltOnOtherThreads) {
    constexpr int kThreads = 4;
    constexpr int kTrees = 2000;
    const Expr shared = add(var("s"), lit_int(1));
    std::vector<std::vector<Expr>> built(kThreads);
    for (int round = 0; round < 3; ++round) {
        std::vector<std::thread> builders;
        for (int t = 0; t < kThreads; ++t) {
            builders.emplace_back([&, t] {
                for (int i = 0; i < kTrees; ++i) built[t].push_back(add(shared, mul(var("x"), lit_int(i))));
            });
        }
        for (auto& th : builders) th.join();
        std::vector<std::thread> droppers;
        for (int t = 0; t < kThreads; ++t) droppers.emplace_back([&, t] { built[(t + 1) % kThreads].clear(); });
        for (auto& th : droppers) th.join();
    }
    Machine m;
    run(m, list(let("s", lit_int(2)), let("r", shared)));
    EXPECT_EQ(value_of(m, "r"), "Number(Int(3))");
}

}  // namespace
}  // namespace velk
