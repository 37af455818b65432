// Limits of a machine and the place of a failing statement, in the core.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tree_builders.hpp"
#include "velk/eval.hpp"
#include "velk/eval_error.hpp"

namespace velk {
namespace {

using namespace velk::test;

// The failure of running `prog`, or nothing.
std::optional<EvalError> failure_of(const Machine& m, const StatementList& prog) {
    try {
        run(m, prog);
        return std::nullopt;
    } catch (const EvalError& e) {
        return e;
    }
}

using Steps = std::vector<std::pair<PlaceStep::List, std::size_t>>;

Steps steps_of(const Place& place) {
    Steps out;
    for (const PlaceStep& s : place) out.emplace_back(s.list, s.index);
    return out;
}

Statement if_(Expr c, StatementList then, StatementList otherwise) {
    return Statement::if_(std::move(c), std::move(then), std::move(otherwise));
}

TEST(Limits, EachLimitNamesItselfAndItsValue) {
    Machine m;
    m.set_limits(Limits{.max_text = 5});
    ASSERT_EQ(failure_of(m, list(let("s", add(lit_str("abc"), lit_str("abc")))))->message(),
              "Limit exceeded: max_text=5");
    m.set_limits(Limits{.max_bytes = 5});
    ASSERT_EQ(failure_of(m, list(let("s", lit_str("abcdef"))))->message(), "Limit exceeded: max_bytes=5");
    m.set_limits(Limits{.max_steps = 1});
    ASSERT_EQ(failure_of(m, list(let("s", lit_int(1))))->message(), "Limit exceeded: max_steps=1");
    m.set_limits(Limits{});
    EXPECT_FALSE(failure_of(m, list(let("s", add(lit_str("abc"), lit_str("abc"))))));
}

TEST(Limits, TheByteCountFollowsBindingsAndStartsFromWhatIsHeld) {
    Machine m;
    run(m, list(let("a", lit_str(std::string(40, 'a'))), let("n", lit_int(1))));
    m.set_limits(Limits{.max_bytes = 200});
    EXPECT_EQ(m.text_bytes(), 40u);
    // A text shared by two variables counts for each.
    run(m, list(let("b", add(var("a"), var("a"))), let("a", lit_str("x")), let("n", var("b"))));
    EXPECT_EQ(m.text_bytes(), 1u + 80 + 80);
    EXPECT_EQ(failure_of(m, list(let("c", lit_str(std::string(40, 'c')))))->message(),
              "Limit exceeded: max_bytes=200");
    run(m, list(let("n", lit_int(2)), let("b", lit_str(""))));  // shrinking is always allowed
    EXPECT_EQ(m.text_bytes(), 1u);
    m.set_limits(Limits{});
    EXPECT_EQ(m.text_bytes(), 0u);  // not counted without max_bytes
}

// A text bound from C++ and one bound by a run meet in one count: the
// machine keeps it for every binding, whoever makes it.
TEST(Limits, BindingsFromCppAndFromRunsShareTheByteCount) {
    const Identifier x = Identifier::s("x");
    const auto text = [](std::size_t n) { return ValueRef::make(Value::string(std::string(n, 't'))); };
    Machine m;
    m.set_limits(Limits{.max_bytes = 100});
    m.bind(x, text(60));
    EXPECT_EQ(m.text_bytes(), 60u);
    EXPECT_EQ(failure_of(m, list(let("y", lit_str(std::string(60, 'y')))))->message(),
              "Limit exceeded: max_bytes=100");
    run(m, list(let("x", lit_int(1))));  // gives the 60 bytes back
    EXPECT_EQ(m.text_bytes(), 0u);
    run(m, list(let("y", lit_str(std::string(60, 'y')))));
    EXPECT_EQ(m.text_bytes(), 60u);
    try {
        m.bind(x, text(41));
        FAIL() << "bound past max_bytes";
    } catch (const EvalError& e) {
        EXPECT_EQ(e.message(), "Limit exceeded: max_bytes=100");
    }
    EXPECT_EQ(m.get(x)->as_number().as_int(), 1);  // a refused binding binds nothing
    m.bind(Identifier::s("y"), text(100));          // a rebinding needs room for its growth only
    EXPECT_EQ(m.text_bytes(), 100u);
}

// Threads binding at once never pass the bound together: exactly as many
// texts fit as the bound holds.
TEST(Limits, ThreadsBindingAtOnceStayWithinMaxBytes) {
    constexpr std::size_t kThreads = 4, kEach = 100, kText = 10, kFitting = 150;
    Machine m(Access::Shared);
    m.set_limits(Limits{.max_bytes = kFitting * kText});
    std::atomic<std::size_t> bound{0};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t i = 0; i < kEach; ++i) {
                try {
                    m.bind(Identifier::u(static_cast<std::uint32_t>(t * kEach + i)),
                           ValueRef::make(Value::string(std::string(kText, 'z'))));
                    bound.fetch_add(1);
                } catch (const EvalError&) {
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(bound.load(), kFitting);
    EXPECT_EQ(m.text_bytes(), kFitting * kText);
}

TEST(Place, NamesTheIndexInEveryListOnTheWayIn) {
    using L = PlaceStep::List;
    const Machine m;
    StatementList inner = list(let("a", lit_int(1)), if_(lit_bool(false), list(), list(let("b", var("nope")))));
    StatementList prog = list(let("x", lit_int(1)), if_(lit_bool(true), std::move(inner), list()));
    auto failure = failure_of(m, prog);
    ASSERT_TRUE(failure);
    EXPECT_EQ(steps_of(failure->place()),
              (std::vector<std::pair<L, std::size_t>>{{L::Run, 1}, {L::Then, 1}, {L::Otherwise, 0}}));
    // A statement run alone starts at index 0, through one-statement lists.
    try {
        run(m, if_(lit_bool(true), list(if_(lit_int(1), list(), list())), list()));
        FAIL();
    } catch (const EvalError& e) {
        EXPECT_EQ(steps_of(e.place()), (std::vector<std::pair<L, std::size_t>>{{L::Run, 0}, {L::Then, 0}}));
    }
    // Expressions and lookups have no place.
    try {
        (void)evaluate(m, var("nope"));
        FAIL();
    } catch (const EvalError& e) {
        EXPECT_TRUE(e.place().empty());
    }
}

// A poll that counts its calls and stops the run with Stop at the last.
struct Stop {};
struct CountingPoll {
    int calls = 0;
    int stop_at;
    Poll poll() {
        return {[](void* self) {
                    auto& p = *static_cast<CountingPoll*>(self);
                    if (++p.calls == p.stop_at) throw Stop{};
                },
                this};
    }
};

// A program whose one failing statement lies at a chosen place: the lists on
// the way hold random fillers before and after it, and the `if`s random
// lists on the side not taken. Depths past 64 one-statement lists and
// lists of one or several statements mix followed lists with frames.
struct PlacedFailure {
    StatementList program;
    Steps place;
};

PlacedFailure placed_failure(std::mt19937& random) {
    using L = PlaceStep::List;
    const auto below = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
    // `n` statements that succeed: lets, and `if`s through a one-statement
    // list, which a run follows before it comes to the failing one.
    const auto fillers = [&](std::size_t n, const char* name = "f") {
        StatementList l;
        for (std::size_t i = 0; i < n; ++i) {
            Statement s = let(name, lit_int(static_cast<std::int64_t>(i)));
            l.push_back(below(2) == 0 ? std::move(s) : if_(lit_bool(true), list(std::move(s)), list()));
        }
        return l;
    };
    const std::size_t depth = below(3) == 0 ? 60 + below(20) : below(6);
    // Built from the failing statement outwards: `inner` is the list that
    // holds the statement at the place's step `k`.
    StatementList inner = fillers(below(3));
    std::size_t index = inner.size();
    inner.push_back(let("b", var("nope")));
    for (const Statement& s : fillers(below(2), "after")) inner.push_back(s);
    Steps place;
    for (std::size_t k = 0; k < depth; ++k) {
        const bool then = below(2) == 0;
        place.emplace_back(then ? L::Then : L::Otherwise, index);
        StatementList other = fillers(below(3));
        Statement chooser = then ? if_(lit_bool(true), std::move(inner), std::move(other))
                                 : if_(lit_bool(false), std::move(other), std::move(inner));
        // Most lists on the way hold the `if` alone: followed, not framed.
        inner = below(3) == 0 ? fillers(below(3)) : StatementList();
        index = inner.size();
        inner.push_back(std::move(chooser));
        if (below(3) == 0) {
            for (const Statement& s : fillers(1 + below(2), "after")) inner.push_back(s);
        }
    }
    place.emplace_back(L::Run, index);
    std::reverse(place.begin(), place.end());
    return {std::move(inner), std::move(place)};
}

TEST(Place, IsTheSameThroughEveryWayIntoARunAndEveryMeter) {
    std::mt19937 random(20261209);
    CountingPoll counting{.stop_at = -1};
    for (int round = 0; round < 300; ++round) {
        const PlacedFailure case_ = placed_failure(random);
        const StatementList& program = case_.program;
        const Steps& place = case_.place;
        auto alone = place;  // the failing top statement run by itself
        alone.front().second = 0;
        for (const bool limited : {false, true}) {
            for (const bool polled : {false, true}) {
                Machine m;
                if (limited) m.set_limits(Limits{.max_steps = Limits::kUnlimited - 1});
                const Poll poll = polled ? counting.poll() : Poll{};
                const auto place_of = [&](auto&& run_it) {
                    try {
                        run_it();
                    } catch (const EvalError& e) {
                        return steps_of(e.place());
                    }
                    return Steps{};
                };
                SCOPED_TRACE(::testing::Message() << "round " << round << " limited " << limited << " polled " << polled);
                EXPECT_EQ(place_of([&] { run(m, program, poll); }), place);
                EXPECT_EQ(place_of([&] { run(m, StatementList(program), poll); }), place);
                const StatementAt at = [](const void* items, std::size_t i) -> const Statement& {
                    return static_cast<const StatementList*>(items)->at(i);
                };
                EXPECT_EQ(place_of([&] { run(m, &program, program.size(), at, poll); }), place);
                EXPECT_EQ(place_of([&] { run(m, program[place.front().second], poll); }), alone);
                // Nothing after the failing statement ran.
                EXPECT_THROW(m.get(VarKey(Identifier::s("after"))), EvalError);
            }
        }
    }
}

Expr doubling(Expr e, int levels) {
    for (int i = 0; i < levels; ++i) e = add(e, e);
    return e;
}

TEST(Poll, StopsAnEndlessRunWithWhatItThrowsWithLimitsOrWithout) {
    for (const Limits& limits : {Limits{}, Limits{.max_steps = Limits::kUnlimited - 1}}) {
        Machine m;
        m.set_limits(limits);
        run(m, list(let("x", lit_int(1))));
        CountingPoll counting{.stop_at = 3};
        const StatementList program = list(let("before", lit_int(5)), let("y", doubling(var("x"), 64)));
        EXPECT_THROW(run(m, program, counting.poll()), Stop);
        EXPECT_EQ(counting.calls, 3);
        EXPECT_EQ(m.get(VarKey(Identifier::s("before")))->as_number().as_int(), 5);
        EXPECT_THROW(m.get(VarKey(Identifier::s("y"))), EvalError);
        run(m, list(let("y", lit_int(2))));  // usable afterwards
    }
}

TEST(Poll, ComesEveryPollIntervalStepsAndAtTextWork) {
    // 2^22 additions of Ints. With limits: one poll per kPollInterval steps.
    // Without: one per kPollInterval ticks, a tick for at most 16 additions.
    const std::uint64_t nodes = (std::uint64_t{1} << 23) - 1;
    for (const bool metered : {false, true}) {
        Machine m;
        if (metered) m.set_limits(Limits{.max_steps = nodes + 10});
        run(m, list(let("x", lit_int(1))));
        CountingPoll counting{.stop_at = -1};
        run(m, list(let("y", doubling(var("x"), 22))), counting.poll());
        const auto calls = static_cast<std::uint64_t>(counting.calls);
        const std::uint64_t at_most = (nodes + 1) / kPollInterval + 1;
        EXPECT_LE(calls, at_most) << metered;
        EXPECT_GE(calls, metered ? at_most - 2 : (nodes / 3) / (16 * kPollInterval)) << metered;
    }
    // One comparison of two 1 MiB texts is 16,384 steps: polled before it.
    Machine m;
    run(m, list(let("s", lit_str(std::string(1 << 20, 'a'))), let("t", lit_str(std::string(1 << 20, 'a')))));
    CountingPoll counting{.stop_at = 1};
    EXPECT_THROW(run(m, list(let("y", Expr::equals(var("s"), var("t")))), counting.poll()), Stop);
}

TEST(Poll, ComesWithinAFewStatementsWithoutLimits) {
    // Programs of cheap statements, however they nest: without limits a
    // tick covers at most 4 statements, so `ran` statements bring at least
    // ran / (4 * kPollInterval) polls, and at most one per kPollInterval.
    constexpr std::size_t kCount = std::size_t{1} << 16;
    const auto lets = [] {
        StatementList l;
        for (std::size_t i = 0; i < kCount; ++i) l.push_back(let("x", lit_int(1)));
        return l;
    };
    const auto chain = [] {  // kCount `if`s, each the only statement of its outer one's list
        Statement s = let("x", lit_int(1));
        for (std::size_t i = 0; i < kCount; ++i) s = if_(lit_bool(i % 2 == 0), list(s), list(s));
        return list(std::move(s));
    };
    const auto followed = [] {  // kCount `if`s, each through a one-statement list
        StatementList l;
        for (std::size_t i = 0; i < kCount; ++i) l.push_back(if_(lit_bool(true), list(let("x", lit_int(1))), list()));
        return l;
    };
    const StatementAt at = [](const void* items, std::size_t i) -> const Statement& {
        return static_cast<const StatementList*>(items)->at(i);
    };
    struct Case {
        const char* name;
        StatementList program;
        std::uint64_t ran;  // statements
        bool in_place;      // run through `at`, as a Python list is
    };
    const Case cases[] = {
        {"a list", lets(), kCount, false},
        {"a list an if chose", list(if_(lit_bool(false), list(), lets())), kCount + 1, false},
        {"a chain of one-statement lists", chain(), kCount + 1, false},
        {"ifs through one-statement lists, read in place", followed(), 2 * kCount, true},
    };
    for (const Case& c : cases) {
        const Machine m;
        CountingPoll counting{.stop_at = -1};
        if (c.in_place) {
            run(m, &c.program, c.program.size(), at, counting.poll());
        } else {
            run(m, std::span<const Statement>(c.program), counting.poll());
        }
        const auto calls = static_cast<std::uint64_t>(counting.calls);
        EXPECT_GE(calls, c.ran / (4 * kPollInterval)) << c.name;
        EXPECT_LE(calls, c.ran / kPollInterval + 1) << c.name;
    }
}

}  // namespace
}  // namespace velk
