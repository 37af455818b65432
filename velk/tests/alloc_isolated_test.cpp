// Allocation claims of evaluation, checked with a global operator new that
// counts (hence a binary of its own), and the release order of trees.
#include <gtest/gtest.h>

// The replaced operators below pair malloc with free; GCC cannot see that.
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "../testing/test_memory.hpp"
#include "tree_builders.hpp"
#include "inspect.hpp"
#include "velk/eval.hpp"

namespace {

// Counting is switched on only around the code under test.
thread_local bool g_counting = false;
thread_local std::size_t g_news = 0;

struct Counting {
    Counting() {
        velk::release_cached_blocks();  // every node and value below comes fresh from operator new
        g_news = 0;
        g_counting = true;
    }
    ~Counting() { g_counting = false; }
    std::size_t news() const { return g_news; }
};

}  // namespace

void* operator new(std::size_t n) {
    if (g_counting) ++g_news;
    if (void* p = velk::test_memory::allocate(n, 0)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { velk::test_memory::release(p); }
void operator delete(void* p, std::size_t) noexcept { velk::test_memory::release(p); }

// Aligned blocks (chunks of tree blocks, among others) still out.
std::atomic<long> g_aligned_live{0};
void* operator new(std::size_t n, std::align_val_t align) {
    const auto a = static_cast<std::size_t>(align);
    if (void* p = velk::test_memory::allocate(n, a)) {
        ++g_aligned_live;
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p, std::align_val_t) noexcept {
    if (p) --g_aligned_live;
    velk::test_memory::release(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    if (p) --g_aligned_live;
    velk::test_memory::release(p);
}

namespace velk {
namespace {

using namespace velk::test;

const std::string kLong(200, 'x');  // past any inline text and any cached block

TEST(Allocations, OnePerFreshValueNoneForAVariable) {
    Machine m;
    run(m, list(let("v", lit_str(kLong))));

    // Fresh blocks from operator new while evaluating. An expression yields
    // one shared value, made after its operands' nodes are released, so the
    // block cache may serve it from them: for the value itself only an upper
    // bound holds. A long text is never cached, so every join makes one.
    struct Case {
        const char* name;
        Expr (*build)();
        std::size_t least;
        std::size_t most;
    };
    const Case cases[] = {
        // A literal's shared value is made with its node: binding shares it.
        {"int literal", [] { return lit_int(5); }, 0, 0},
        {"long string literal: shared, not copied", [] { return lit_str(kLong); }, 0, 0},
        {"variable reference", [] { return var("v"); }, 0, 0},
        {"int sum", [] { return add(lit_int(1), lit_int(2)); }, 0, 1},
        {"variable joined with a literal: value and text", [] { return add(var("v"), lit_str("")); }, 1, 2},
        // Intermediate results are plain values, not shared ones.
        {"nested", [] { return add(add(lit_int(1), lit_int(2)), sub(lit_int(3), lit_int(4))); }, 0, 1},
        {"equality of variables", [] { return Expr::equals(var("v"), var("v")); }, 0, 1},
        {"not", [] { return Expr::not_(lit_bool(true)); }, 0, 1},
        {"deep", [] { return Expr::not_(Expr::not_(Expr::equals(lit_int(1), var("v")))); }, 0, 1},
        {"long join: value and text", [] { return add(var("v"), var("v")); }, 1, 2},
        {"two long joins: one text each, one value",
         [] { return add(add(var("v"), var("v")), var("v")); }, 2, 3},
    };
    for (const Case& c : cases) {
        Expr e = c.build();
        std::size_t count;
        try {
            Counting counting;
            ValueRef r = evaluate(m, std::move(e));
            count = counting.news();
        } catch (...) {
            count = 999;
        }
        EXPECT_GE(count, c.least) << c.name;
        EXPECT_LE(count, c.most) << c.name;
    }
}

TEST(Allocations, LiteralValueIsSharedNotCopied) {
    Machine m;
    Expr e = lit_str(kLong);
    const ValueRef& literal = e.get_if<Expr::Literal>()->value;
    ValueRef r = evaluate(m, e);
    EXPECT_EQ(inspect::identity(r), inspect::identity(literal));
    EXPECT_EQ(r->as_string().data(), literal->as_string().data());
}

// The tree blocks freed while one lives, in order; order_of() keeps those
// of the given nodes.
class FreedTreeBlocks {
public:
    FreedTreeBlocks() {
        freed_.reserve(64);
        current_ = &freed_;
        observe_tree_block_frees(&record);
    }
    ~FreedTreeBlocks() {
        observe_tree_block_frees(nullptr);
        current_ = nullptr;
    }
    std::vector<const void*> order_of(const std::vector<const void*>& nodes) const {
        std::vector<const void*> order;
        for (const void* p : freed_) {
            if (std::find(nodes.begin(), nodes.end(), p) != nodes.end()) order.push_back(p);
        }
        return order;
    }

private:
    static void record(const void* p, std::size_t) { current_->push_back(p); }
    static inline std::vector<const void*>* current_ = nullptr;
    std::vector<const void*> freed_;
};

TEST(Release, OperandsGoDepthFirstLeftBeforeRightNodeLast) {
    // ((a + b) == !c): expected order a, b, (a+b), c, !c, then the root.
    if (!blocks_pooled()) GTEST_SKIP() << "this build pools no blocks";
    Expr root = Expr::equals(add(var("a"), var("b")), Expr::not_(var("c")));
    const auto& eq = *root.get_if<Expr::Equals>();
    const auto& sum = *eq.left.get_if<Expr::BinaryOp>();
    const auto& neg = *eq.right.get_if<Expr::Not>();
    const std::vector<const void*> expected = {inspect::identity(sum.left), inspect::identity(sum.right),
                                               inspect::identity(eq.left),  inspect::identity(neg.item),
                                               inspect::identity(eq.right), inspect::identity(root)};
    FreedTreeBlocks freed;
    { Expr gone = std::move(root); }
    EXPECT_EQ(freed.order_of(expected), expected);
}

TEST(Release, ASharedOperandLosesOneReferenceAndStays) {
    // (s + 1) and (s * 2) share s = (x - y): dropping the first tree frees
    // its own nodes and leaves s whole.
    if (!blocks_pooled()) GTEST_SKIP() << "this build pools no blocks";
    Expr s = sub(var("x"), var("y"));
    Expr first = add(s, lit_int(1));
    Expr second = mul(s, lit_int(2));
    const void* one = inspect::identity(first.get_if<Expr::BinaryOp>()->right);
    const std::vector<const void*> expected = {one, inspect::identity(first)};
    s = lit_null();
    EXPECT_EQ(inspect::use_count(second.get_if<Expr::BinaryOp>()->left), 2u);
    FreedTreeBlocks freed;
    { Expr gone = std::move(first); }
    EXPECT_EQ(freed.order_of(expected), expected);
    EXPECT_EQ(inspect::use_count(second.get_if<Expr::BinaryOp>()->left), 1u);
    Machine m;
    run(m, list(let("x", lit_int(7)), let("y", lit_int(4)), let("r", second)));
    EXPECT_EQ(m.get(Identifier::s("r"))->as_number().as_int(), 6);
}

TEST(Release, AnIfGoesConditionThenListThenOtherwiseList) {
    // if (a + a): [let t = b + b; if (c): [let u = d + d] else []]
    // else [let o = e + e]. Every expression node is freed, in this order.
    if (!blocks_pooled()) GTEST_SKIP() << "this build pools no blocks";
    auto nodes = [](const Expr& e) {
        const auto& sum = *e.get_if<Expr::BinaryOp>();
        return std::vector<const void*>{inspect::identity(sum.left), inspect::identity(sum.right), inspect::identity(e)};
    };
    auto expr_of = [](const Statement& s) -> const Expr& { return s.get_if<Statement::Let>()->expr; };
    Statement inner = Statement::if_(var("c"), list(let("u", add(var("d"), var("d")))), {});
    Statement outer = Statement::if_(add(var("a"), var("a")), list(let("t", add(var("b"), var("b"))), inner),
                                     list(let("o", add(var("e"), var("e")))));
    const auto& n = *outer.get_if<Statement::If>();
    const auto& inner_if = *inner.get_if<Statement::If>();
    std::vector<const void*> expected = nodes(n.cond);
    for (const void* p : nodes(expr_of(n.then[0]))) expected.push_back(p);
    expected.push_back(inspect::identity(inner_if.cond));
    for (const void* p : nodes(expr_of(inner_if.then[0]))) expected.push_back(p);
    for (const void* p : nodes(expr_of(n.otherwise[0]))) expected.push_back(p);
    inner = Statement::let(Identifier::s("unrelated"), lit_null());
    FreedTreeBlocks freed;
    { Statement gone = std::move(outer); }
    EXPECT_EQ(freed.order_of(expected), expected);
}

TEST(BlockCaches, HoldNoMoreThanTheirBudget) {
    if (!blocks_pooled()) GTEST_SKIP() << "this build pools no blocks";
    release_cached_blocks();
    constexpr std::size_t kSize = 128;
    std::vector<void*> blocks(kBlockCacheBudget / kSize + 1000);
    for (void*& b : blocks) b = allocate_value_block(kSize);
    for (void* b : blocks) free_value_block(b, kSize);
    EXPECT_LE(cached_block_bytes(), kBlockCacheBudget);
    EXPECT_GE(cached_block_bytes(), kBlockCacheBudget / 2);  // the budget is used, not ignored
    release_cached_blocks();
    EXPECT_EQ(cached_block_bytes(), 0u);
}

TEST(BlockCaches, ValuesAndTreeNodesDoNotShareBlocks) {
    // Shared values travel between threads and outlive trees; tree blocks
    // come from chunks. A freed value block must not come back as a node.
    if (!blocks_pooled()) GTEST_SKIP() << "this build pools no blocks";
    release_cached_blocks();
    constexpr std::size_t kSize = sizeof(SharedValue);
    void* value = allocate_value_block(kSize);
    free_value_block(value, kSize);  // last freed: a shared cache would hand it out next
    void* node = allocate_tree_block(kSize);
    EXPECT_NE(node, value);
    void* value_again = allocate_value_block(kSize);
    EXPECT_EQ(value_again, value);
    free_tree_block(node, kSize);
    free_value_block(value_again, kSize);
    release_cached_blocks();
}

TEST(BlockCaches, AJoinOfShortTextsTakesItsBufferFromTheCaches) {
    // A rebinding frees a joined text with its value; the next join of that
    // length takes both blocks back instead of asking operator new.
    if (!blocks_pooled()) GTEST_SKIP() << "this build pools no blocks";
    Machine m;
    run(m, list(let("s", lit_str("ten bytes!"))));
    const Expr join = add(var("s"), var("s"));
    evaluate(m, join);  // released at once: value and buffer to the caches
    g_news = 0;
    g_counting = true;
    const ValueRef again = evaluate(m, join);
    g_counting = false;
    EXPECT_EQ(g_news, 0u);
    EXPECT_EQ(again->as_string(), "ten bytes!ten bytes!");
}

TEST(TreeChunks, NodesBuiltInARowLieInARowWhateverWasFreedBefore) {
    if (!blocks_pooled()) GTEST_SKIP() << "this build pools no blocks";
    // A large program built and dropped first leaves freed blocks of every
    // size behind; the nodes built next still follow one another.
    {
        StatementList old;
        for (int i = 0; i < 5000; ++i) old.push_back(let("x", add(var("x"), lit_int(i))));
    }
    std::vector<const char*> made;  // every node, in the order built
    std::vector<Expr> keep;         // alive, so no block is handed out twice
    for (int i = 0; i < 200; ++i) {
        Expr y = var("y");
        Expr n = lit_int(i);
        Expr e = add(std::move(y), std::move(n));
        const auto& sum = *e.get_if<Expr::BinaryOp>();
        for (const Expr* node : {&sum.left, &sum.right, static_cast<const Expr*>(&e)}) {
            made.push_back(static_cast<const char*>(inspect::identity(*node)));
        }
        keep.push_back(std::move(e));
    }
    // Each node lies just after the one before (no block is over 128
    // bytes), but where a chunk was full.
    std::size_t following = 0;
    for (std::size_t i = 1; i < made.size(); ++i) {
        following += made[i] > made[i - 1] && made[i] - made[i - 1] <= 128;
    }
    const std::size_t chunks_filled = made.size() * 128 / kTreeChunkBytes + 1;
    EXPECT_GE(following, made.size() - 1 - chunks_filled);
}

TEST(TreeChunks, GoBackWholeOnceEveryBlockIsFreedOnAnyThread) {
    if (!blocks_pooled()) GTEST_SKIP() << "this build pools no blocks";
    // Nodes built here and dropped on another thread, round after round:
    // every chunk they used goes back, so none stays out in the end.
    release_cached_blocks();
    const long before = g_aligned_live.load();
    for (int round = 0; round < 50; ++round) {
        std::vector<Expr> built;
        for (int i = 0; i < 3000; ++i) built.push_back(add(var("z"), lit_int(i)));
        std::thread([&] { built.clear(); }).join();
    }
    release_cached_blocks();
    EXPECT_EQ(g_aligned_live.load(), before);
}

TEST(Release, DeepReleaseNeedsNoMemory) {
    Expr e = lit_int(0);
    for (int i = 0; i < 10000; ++i) e = add(Expr::not_(std::move(e)), lit_int(i));
    Counting counting;
    { Expr gone = std::move(e); }
    EXPECT_EQ(counting.news(), 0u);
}

}  // namespace
}  // namespace velk
