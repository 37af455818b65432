// Every allocation point of a representative program, failed one at a time:
// each failure must surface as std::bad_alloc, leave the machine usable with
// a consistent store, and leak nothing.
#include <gtest/gtest.h>

#include <string>

#include "../testing/alloc_faults.hpp"
#include "inspect.hpp"
#include "tree_builders.hpp"
#include "velk/eval.hpp"
#include "velk/eval_error.hpp"

namespace velk {
namespace {

using namespace velk::test;

const std::string kLong(64, 'q');  // past the inline string buffer

// Re-running it from any partial state ends in the same bindings.
StatementList program() {
    return list(let("x", lit_int(1)),
                let("s", lit_str(kLong)),
                let("s2", add(var("s"), var("s"))),
                Statement::if_(Expr::less_than(var("x"), lit_float(5.0)),
                               list(let("y", add(var("x"), lit_int(1))),
                                    let("t", add(var("s2"), lit_str("!"))),
                                    Statement::if_(Expr::not_(Expr::equals(var("x"), lit_int(2))),
                                                   list(let("deep", lit_null())), {})),
                               list(let("never", lit_int(0)))),
                let("z", Expr::not_(Expr::equals(var("x"), lit_int(1)))),
                let("late", lit_bool(true)));
}

void expect_final_state(const Machine& m) {
    EXPECT_EQ(debug_text(*m.get(Identifier::s("x"))), "Number(Int(1))");
    EXPECT_EQ(m.get(Identifier::s("s2"))->as_string(), kLong + kLong);
    EXPECT_EQ(m.get(Identifier::s("t"))->as_string(), kLong + kLong + "!");
    EXPECT_EQ(debug_text(*m.get(Identifier::s("y"))), "Number(Int(2))");
    EXPECT_EQ(debug_text(*m.get(Identifier::s("deep"))), "Null");
    EXPECT_EQ(debug_text(*m.get(Identifier::s("z"))), "Boolean(false)");
    EXPECT_EQ(debug_text(*m.get(Identifier::s("late"))), "Boolean(true)");
    EXPECT_THROW(m.get(Identifier::s("never")), EvalError);
}

TEST(AllocationFailures, EveryPointFailsCleanlyAndLeaksNothing) {
    int failures = 0;
    bool completed = false;
    for (std::int64_t n = 1; n < 10'000 && !completed; ++n) {
        release_cached_blocks();
        const std::int64_t live_before = velk_live_allocations();
        {
            Machine m;
            run(m, list(let("pre", lit_str(kLong))));
            bool failed = false;
            velk_fail_allocation_after(n);
            try {
                StatementList p = program();
                run(m, clone_list(p));
                ValueRef t = m.get(Identifier::s("t"));
                std::string text = m.debug_text();
                (void)m.get(Identifier::s("absent"));  // fails with EvalError
            } catch (const std::bad_alloc&) {
                failed = true;
            } catch (const EvalError& e) {
                EXPECT_EQ(e.message(), "Value cannot be found: S(\"absent\")");
            }
            const bool hook_fired = velk_failed_allocations() == 1;
            velk_fail_allocation_after(0);
            EXPECT_EQ(failed, hook_fired) << "allocation " << n;
            if (!hook_fired) completed = true;
            failures += failed;

            // The machine is intact: earlier bindings readable, the text
            // well formed, and the program runs through now.
            EXPECT_EQ(m.get(Identifier::s("pre"))->as_string(), kLong) << "allocation " << n;
            const std::string text = m.debug_text();
            EXPECT_EQ(text.rfind("Machine { vars: {", 0), 0u);
            EXPECT_EQ(text.substr(text.size() - 3), "} }");
            run(m, program());
            expect_final_state(m);
        }
        release_cached_blocks();
        EXPECT_EQ(velk_live_allocations(), live_before) << "leak after failing allocation " << n;
    }
    EXPECT_TRUE(completed);
    EXPECT_GT(failures, 20);  // the program has many allocation points
    std::printf("allocation points failed: %d\n", failures);
}

// The first binding of a long name copies the name with its shard unlocked
// and locks it again to store it. A failure anywhere on that way binds
// nothing and leaves the shard unlocked for the next binding.
TEST(AllocationFailures, ALongNameThatFailsToBindLeavesNothingBound) {
    const std::string name(48, 'k');
    int failures = 0;
    bool completed = false;
    for (std::int64_t n = 1; n < 100 && !completed; ++n) {
        release_cached_blocks();
        const std::int64_t live_before = velk_live_allocations();
        {
            Machine m(Access::Shared);
            const Statement node = let(name, lit_null());
            const ValueRef value = ValueRef::make(Value::number(Number::from_int(1)));
            velk_fail_allocation_after(n);
            bool failed = false;
            try {
                m.bind(node.get_if<Statement::Let>()->key(), value);
            } catch (const std::bad_alloc&) {
                failed = true;
            }
            const bool hook_fired = velk_failed_allocations() == 1;
            velk_fail_allocation_after(0);
            EXPECT_EQ(failed, hook_fired) << "allocation " << n;
            completed = !hook_fired;
            failures += failed;
            if (failed) {
                EXPECT_THROW(m.get(Identifier::s(name)), EvalError) << "allocation " << n;
            }
            m.bind(node.get_if<Statement::Let>()->key(), value);
            EXPECT_EQ(inspect::identity(m.get(Identifier::s(name))), inspect::identity(value));
        }
        release_cached_blocks();
        EXPECT_EQ(velk_live_allocations(), live_before) << "leak after failing allocation " << n;
    }
    EXPECT_TRUE(completed);
    EXPECT_GE(failures, 1);  // at least the copy of the name allocates
}

}  // namespace
}  // namespace velk
