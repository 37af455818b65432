// The machine as the door to its store: reads and bindings through a tree's
// keys (whose memos remember the hash and the entry) and through bare names
// (which remember nothing) must meet in the same variables.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include "inspect.hpp"
#include "tree_builders.hpp"
#include "velk/debug_text.hpp"
#include "velk/eval_error.hpp"
#include "velk/machine.hpp"

namespace velk {
namespace {

using namespace velk::test;

const std::string kLongName(40, 'n');  // copying it allocates: the store's two-lock path

std::size_t entries(const Machine& m) {
    std::size_t n = 0;
    m.each_variable([&](const Identifier&, const Value&) { ++n; });
    return n;
}

// ---- read ------------------------------------------------------------------

struct ReadCase {
    const char* label;
    Value (*make)();
    bool held;  // a text is held by reference; anything else is copied
};

const ReadCase kReads[] = {
    {"int", [] { return Value::number(Number::from_int(-7)); }, false},
    {"float", [] { return Value::number(Number::from_float(0.25)); }, false},
    {"bool", [] { return Value::boolean(true); }, false},
    {"null", [] { return Value::null(); }, false},
    {"short_text", [] { return Value::string("ab"); }, true},
    {"long_text", [] { return Value::string(std::string(64, 't')); }, true},
};

class Read : public ::testing::TestWithParam<std::tuple<ReadCase, bool>> {};

TEST_P(Read, TreeKeyAndBareNameGiveTheStoredValue) {
    const auto& [c, long_name] = GetParam();
    const Identifier name = Identifier::s(long_name ? kLongName : "v");
    Machine m;
    m.bind(name, ValueRef::make(c.make()));
    const ValueRef stored = m.get(name);
    const std::string want = debug_text(*stored);

    const Expr node = Expr::ident(name);
    const Expr::Ident& ident = *node.get_if<Expr::Ident>();
    EXPECT_EQ(m.shard_of(ident.key()), m.shard_of(name));
    // Through the tree's key twice (the second finds its entry in the
    // memo), then through the bare name.
    for (const VarKey key : {ident.key(), ident.key(), VarKey(name)}) {
        Value copy;
        ValueRef held;
        const Value& got = m.read(key, copy, held);
        EXPECT_EQ(debug_text(got), want);
        if (c.held) {
            EXPECT_EQ(inspect::identity(held), inspect::identity(stored));
            EXPECT_EQ(&got, held.get());
            EXPECT_EQ(inspect::use_count(stored), 3u);  // the store, `stored` and `held`
        } else {
            EXPECT_FALSE(held);
            EXPECT_EQ(&got, &copy);
            EXPECT_EQ(inspect::use_count(stored), 2u);  // the copy took no reference
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Machine, Read, ::testing::Combine(::testing::ValuesIn(kReads), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).label) +
                                    (std::get<1>(info.param) ? "_long_name" : "_short_name");
                         });

// ---- bind ------------------------------------------------------------------

enum class Form { LetKey, BareName };

class Bind : public ::testing::TestWithParam<std::tuple<Form, bool>> {};

// Binds `name` three times, alternately through the form under test and the
// other one, then again through the first after the table has grown (which
// moves every entry a memo may remember).
TEST_P(Bind, EveryFormReachesTheOneVariable) {
    const auto [form, long_name] = GetParam();
    const std::string text = long_name ? kLongName : "v";
    Machine m;
    std::optional<Statement> tree = let(text, lit_null());
    const Statement::Let& node = *tree->get_if<Statement::Let>();
    const Identifier bare = Identifier::s(text);
    const VarKey first = form == Form::LetKey ? node.key() : VarKey(bare);
    const VarKey other = form == Form::LetKey ? VarKey(bare) : node.key();

    const ValueRef one = ValueRef::make(Value::number(Number::from_int(1)));
    const ValueRef two = ValueRef::make(Value::string(std::string(30, '2')));
    const ValueRef three = ValueRef::make(Value::boolean(false));
    EXPECT_FALSE(m.bind(first, one).has_value());
    const std::optional<ValueRef> was_one = m.bind(other, two);
    ASSERT_TRUE(was_one.has_value());
    EXPECT_EQ(inspect::identity(*was_one), inspect::identity(one));
    const std::optional<ValueRef> was_two = m.bind(first, three);
    ASSERT_TRUE(was_two.has_value());
    EXPECT_EQ(inspect::identity(*was_two), inspect::identity(two));
    EXPECT_EQ(entries(m), 1u);

    for (int i = 0; i < 300; ++i) m.bind(Identifier::u(static_cast<std::uint32_t>(i)), one);
    const std::optional<ValueRef> was_three = m.bind(first, two);
    ASSERT_TRUE(was_three.has_value());
    EXPECT_EQ(inspect::identity(*was_three), inspect::identity(three));
    EXPECT_EQ(entries(m), 301u);

    // The store keeps a name of its own: the tree may go.
    tree.reset();
    EXPECT_EQ(inspect::identity(m.get(bare)), inspect::identity(two));
    std::string names;
    m.each_variable([&](const Identifier& id, const Value&) {
        if (id.is_s()) names += std::string(id.as_s());
    });
    EXPECT_EQ(names, text);
}

INSTANTIATE_TEST_SUITE_P(Machine, Bind,
                         ::testing::Combine(::testing::Values(Form::LetKey, Form::BareName), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) == Form::LetKey ? "let_key" : "bare_name") +
                                    (std::get<1>(info.param) ? "_long_name" : "_short_name");
                         });

// A first binding of a long name copies it with the shard unlocked, then
// locks again to store it: a thread that bound the name in between must be
// found then, not doubled. Two threads bind the same new names through
// nodes of their own at once; each name is new to exactly one of them.
TEST(MachineBind, ALongNameBoundByTwoThreadsAtOnceIsStoredOnce) {
    constexpr int kNames = 400;
    constexpr int kThreads = 2;
    Machine m(Access::Shared);
    std::vector<std::vector<Statement>> nodes(kThreads);
    for (auto& mine : nodes) {
        for (int i = 0; i < kNames; ++i) mine.push_back(let(kLongName + std::to_string(i), lit_null()));
    }
    std::vector<std::atomic<int>> firsts(kNames);
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const ValueRef value = ValueRef::make(Value::number(Number::from_int(t)));
            for (int i = 0; i < kNames; ++i) {
                if (i % 16 == 0) start.arrive_and_wait();  // keep the threads on the same names
                if (!m.bind(nodes[t][i].get_if<Statement::Let>()->key(), value)) firsts[i].fetch_add(1);
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int i = 0; i < kNames; ++i) EXPECT_EQ(firsts[i].load(), 1) << i;
    EXPECT_EQ(entries(m), static_cast<std::size_t>(kNames));
}

// ---- reset ---------------------------------------------------------------------

// A reset machine is empty to every reader and binder, whether a name comes
// through a tree's key (whose memo remembers the entry) or bare; the names
// it kept without values must show nowhere.
TEST(MachineReset, ForgetsEveryBindingWhateverRemembersIt) {
    // Kept keys in tables of one group of slots and of several, and shards cleared.
    for (const std::size_t names : {std::size_t{3}, 40 * default_shard_count(), std::size_t{2000}}) {
        Machine m(Access::Exclusive);
        std::vector<Statement> lets;
        for (std::size_t i = 0; i < names; ++i) lets.push_back(let((i % 2 ? kLongName : "v") + std::to_string(i), lit_int(1)));
        const Identifier number = Identifier::u(7);
        for (int round = 0; round < 3; ++round) {
            for (const Statement& s : lets) {
                const Statement::Let& l = *s.get_if<Statement::Let>();
                EXPECT_FALSE(m.bind(l.key(), ValueRef::make(Value::number(Number::from_int(round)))).has_value());
                EXPECT_TRUE(m.bind(l.key(), ValueRef::make(Value::number(Number::from_int(round)))).has_value());
            }
            EXPECT_FALSE(m.bind(number, ValueRef::make(Value::string("ab"))).has_value());
            EXPECT_EQ(entries(m), names + 1);
            EXPECT_EQ(debug_text(*m.get(lets.front().get_if<Statement::Let>()->key())), "Number(Int(" + std::to_string(round) + "))");
            m.reset();
            EXPECT_EQ(entries(m), 0u);
            EXPECT_EQ(m.debug_text(), "Machine { vars: {} }");
            for (const Statement& s : lets) {
                const Statement::Let& l = *s.get_if<Statement::Let>();
                EXPECT_THROW((void)m.get(l.key()), EvalError);
                EXPECT_THROW((void)m.get(l.id), EvalError);
                Value copy;
                ValueRef held;
                EXPECT_FALSE(m.try_read(l.key(), copy, held));
            }
            EXPECT_THROW((void)m.get(number), EvalError);
        }
    }
}

// The text a reset machine held counts no more against max_bytes.
TEST(MachineReset, StartsTheTextCountAgain) {
    Machine m(Access::Exclusive);
    Limits limits;
    limits.max_bytes = 4;
    m.set_limits(limits);
    for (int round = 0; round < 3; ++round) {
        (void)m.bind(Identifier::s("t"), ValueRef::make(Value::string("abcd")));
        EXPECT_THROW((void)m.bind(Identifier::s("u"), ValueRef::make(Value::string("e"))), EvalError);
        EXPECT_EQ(m.text_bytes(), 4u);
        m.reset();
        EXPECT_EQ(m.text_bytes(), 0u);
    }
}

}  // namespace
}  // namespace velk
