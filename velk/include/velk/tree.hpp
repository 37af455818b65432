// Syntax trees: expressions and statements, immutable and shared.
//
// `Expr` and `Statement` are handles to heap nodes that never change once
// built. Copying a handle shares its node (one more reference); a composite
// node holds handles to its operands, so a builder costs the same whatever
// the size of its operands, and one subtree may sit in any number of trees.
// Nothing points to a parent and a node is built only from finished nodes,
// so no tree has a cycle. `clone()` makes a complete, independent copy.
//
// What does change in a built node is what runs remember of it, written
// through const nodes: the memo of an identifier's hash and entry in the
// last store it ran on (LookupMemo, atomic words under a sequence lock) and a
// statement's count of nodes (NodeCount, an atomic). Neither is part of the
// tree's meaning, and a copy starts without them.
//
// Trees built from Python can be as deep as memory allows, so the native
// stack bounds no walk: the last reference to a node releases its subtree
// without recursion and without allocating (nodes waiting for their later
// operands are chained through their emptied slots), and copies run on
// explicit work stacks.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "velk/block_pool.hpp"
#include "velk/lookup_memo.hpp"
#include "velk/value.hpp"
#include "velk/var_key.hpp"

namespace velk {

struct TestAccess;  // velk/tests/inspect.hpp

// One byte; indices fixed: Add 0, Sub 1, Mul 2, Div 3.
enum class BinaryOperator : std::uint8_t { Add = 0, Sub = 1, Mul = 2, Div = 3 };
static_assert(sizeof(BinaryOperator) == 1);

namespace detail {

// The count of handles to one tree node, for both kinds of node.
class NodeRefs {
public:
    void retain() const noexcept { count_.fetch_add(1, std::memory_order_relaxed); }
    std::uint64_t count() const noexcept { return count_.load(std::memory_order_relaxed); }
    // True when the caller's reference was the last one: the node is its
    // alone.
    bool drop() const noexcept { return drop_owner(count_); }

private:
    mutable std::atomic<std::uint64_t> count_{1};
};

}  // namespace detail

class Expr {
public:
    enum class Kind : std::uint8_t {
        Literal = 0,
        Ident = 1,
        BinaryOp = 2,
        Equals = 3,
        Not = 4,
        GreaterThan = 5,
        LessThan = 6,
    };

    // A literal's value is made a shared value once, when the node is built:
    // binding it shares it with the store instead of making a new one. An
    // operand is read from a copy in the node (`in_place`), beside the
    // node's other fields: the shared value's block lies wherever a freed
    // block was, and reading it there cost each literal of a program a cache
    // miss. Null, and a text whose copy would need memory of its own, are
    // read from the shared value (`in_place` is null then).
    struct Literal {
        explicit Literal(ValueRef shared);

        ValueRef value;
        Value in_place;

        const Value& operand() const noexcept { return in_place.is_null() ? *value : in_place; }
    };
    struct Ident {
        Identifier id;
        // The store's hash of `id` and its entry there, for the last store
        // it ran on: rewritten by runs, through the const node.
        LookupMemo memo;

        VarKey key() const noexcept { return {id, memo}; }
    };
    // The composite payloads hold handles of this class: defined below it.
    struct BinaryOp;
    template <Kind K>
    struct Pair;
    using Equals = Pair<Kind::Equals>;
    using GreaterThan = Pair<Kind::GreaterThan>;
    using LessThan = Pair<Kind::LessThan>;
    struct Not;

    // Each builds one node; operands are shared, not copied.
    static Expr literal(Value v);
    static Expr ident(Identifier id);
    static Expr binary_op(Expr a, BinaryOperator o, Expr b);
    static Expr equals(Expr a, Expr b);
    static Expr not_(Expr item);
    static Expr greater_than(Expr a, Expr b);
    static Expr less_than(Expr a, Expr b);

    Expr(const Expr& o) noexcept : node_(o.node_) { retain(); }
    Expr(Expr&& o) noexcept : node_(std::exchange(o.node_, nullptr)) {}
    Expr& operator=(Expr o) noexcept {
        std::swap(node_, o.node_);
        return *this;
    }
    ~Expr() { release(); }

    // Deep copy: every node, value and text duplicated.
    Expr clone() const;

    // Not for a moved-from handle.
    Kind kind() const noexcept;

    // The payload when this node is of kind T, else null.
    template <class T>
    const T* get_if() const noexcept;

    class Node;  // the shared node: reference count, kind and payload

    // The node itself, for the walkers.
    const Node& node() const noexcept { return *node_; }

private:
    friend class Node;
    friend struct TestAccess;  // the tests' look at identity and count
    explicit Expr(Node* n) noexcept : node_(n) {}
    std::uint64_t use_count() const noexcept;
    void retain() const noexcept;
    void release() noexcept;

    Node* node_;  // null only when moved from
};

struct Expr::BinaryOp { Expr left; BinaryOperator op; Expr right; };
// Equals, GreaterThan and LessThan share a shape; the tag keeps them
// distinct types.
template <Expr::Kind K>
struct Expr::Pair { Expr left; Expr right; };
struct Expr::Not { Expr item; };

// A node is a header (count and kind) followed by its kind's payload, in a
// block only as large as that payload needs: a literal takes two thirds of what
// a variable does, and the nodes of a tree lie closer together.
class Expr::Node {
public:
    Kind kind() const noexcept { return kind_; }

    template <class T>
    const T* get_if() const noexcept {
        return kind_ == kind_of<T>() ? &payload<T>() : nullptr;
    }

    // The operand handles of a composite node in field order (left, right /
    // item); both null for leaves.
    struct Slots {
        const Expr* first = nullptr;
        const Expr* second = nullptr;
    };
    [[gnu::always_inline]] Slots slots() const noexcept;

    // A new node holding `payload`, from the thread's chunks of tree blocks
    // (velk/block_pool.hpp).
    template <class T>
    static Node* make(T&& payload);
    // Destroys `node` and gives back its block.
    static void destroy(Node* node) noexcept;

    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

private:
    friend class Expr;
    template <class T>
    struct Holder;

    explicit Node(Kind kind) noexcept : kind_(kind) {}
    ~Node() = default;

    template <class T>
    static constexpr Kind kind_of() noexcept {
        if constexpr (std::is_same_v<T, Literal>) return Kind::Literal;
        else if constexpr (std::is_same_v<T, Ident>) return Kind::Ident;
        else if constexpr (std::is_same_v<T, BinaryOp>) return Kind::BinaryOp;
        else if constexpr (std::is_same_v<T, Equals>) return Kind::Equals;
        else if constexpr (std::is_same_v<T, Not>) return Kind::Not;
        else if constexpr (std::is_same_v<T, GreaterThan>) return Kind::GreaterThan;
        else {
            static_assert(std::is_same_v<T, LessThan>, "not a payload of Expr");
            return Kind::LessThan;
        }
    }
    template <class T>
    const T& payload() const noexcept;
    // The operand slots, writable: only the release walk empties them.
    Expr* first_slot() noexcept { return const_cast<Expr*>(slots().first); }
    Expr* second_slot() noexcept { return const_cast<Expr*>(slots().second); }

    detail::NodeRefs refs_;  // handles to this node
    Kind kind_;              // which payload follows
};

// The block of a node of kind T: the header, then the payload.
template <class T>
struct Expr::Node::Holder final : Expr::Node {
    template <class P>
    explicit Holder(P&& p) noexcept : Node(kind_of<T>()), payload(std::forward<P>(p)) {}
    static void* operator new(std::size_t size) { return allocate_tree_block(size); }
    static void operator delete(void* p, std::size_t size) noexcept { free_tree_block(p, size); }
    T payload;
};

template <class T>
const T& Expr::Node::payload() const noexcept {
    return static_cast<const Holder<T>*>(this)->payload;
}

template <class T>
Expr::Node* Expr::Node::make(T&& payload) {
    return new Holder<std::remove_cvref_t<T>>(std::forward<T>(payload));
}

inline Expr::Node::Slots Expr::Node::slots() const noexcept {
    switch (kind_) {
        case Kind::BinaryOp: return {&payload<BinaryOp>().left, &payload<BinaryOp>().right};
        case Kind::Equals: return {&payload<Equals>().left, &payload<Equals>().right};
        case Kind::Not: return {&payload<Not>().item, nullptr};
        case Kind::GreaterThan: return {&payload<GreaterThan>().left, &payload<GreaterThan>().right};
        case Kind::LessThan: return {&payload<LessThan>().left, &payload<LessThan>().right};
        default: return {};
    }
}

inline Expr::Kind Expr::kind() const noexcept { return node_->kind(); }

template <class T>
const T* Expr::get_if() const noexcept {
    return node_->get_if<T>();
}

inline std::uint64_t Expr::use_count() const noexcept {
    return node_ ? node_->refs_.count() : 0;
}

inline void Expr::retain() const noexcept {
    if (node_) node_->refs_.retain();
}

class Statement;
// Lists of one or a few statements (the branches of an `if`) are common, so
// their storage comes from the chunks of tree blocks too.
using StatementList = std::vector<Statement, TreeBlockAllocator<Statement>>;

class Statement {
public:
    enum class Kind : std::uint8_t { Let = 0, If = 1 };

    // How many expression nodes a statement evaluates (its expression's, or
    // its condition's, shared subtrees once per visit): counted the first
    // time a run under max_steps needs it, so that such runs check their
    // steps once per statement. 0 until counted.
    class NodeCount {
    public:
        static constexpr std::uint64_t kMany = ~std::uint64_t{0};  // past what is worth counting

        NodeCount() noexcept = default;
        // A copy of a node starts uncounted.
        NodeCount(const NodeCount&) noexcept {}
        NodeCount& operator=(const NodeCount&) = delete;

        std::uint64_t get() const noexcept { return n_.load(std::memory_order_relaxed); }
        void set(std::uint64_t n) const noexcept { n_.store(n, std::memory_order_relaxed); }

    private:
        mutable std::atomic<std::uint64_t> n_{0};  // every writer writes the same count
    };

    struct Let {
        Identifier id;
        Expr expr;
        // The store's hash of `id` and its entry there, for the last
        // store it ran on: rewritten by runs, through the const node.
        LookupMemo memo;
        NodeCount nodes;   // of `expr`: set by the first run under max_steps

        VarKey key() const noexcept { return {id, memo}; }
    };
    struct If {
        Expr cond;
        StatementList then;
        StatementList otherwise;
        NodeCount nodes;   // of `cond`
    };

    static Statement let(Identifier id, Expr expr);
    static Statement if_(Expr cond, StatementList then, StatementList otherwise);

    Statement(const Statement& o) noexcept : node_(o.node_) { retain(); }
    Statement(Statement&& o) noexcept : node_(std::exchange(o.node_, nullptr)) {}
    Statement& operator=(Statement o) noexcept {
        std::swap(node_, o.node_);
        return *this;
    }
    ~Statement() { release(); }

    // Deep copy: identifier, then expression; condition, then-list,
    // otherwise-list, each list statement by statement into a list of
    // exactly the same length.
    Statement clone() const;

    // Not for a moved-from handle.
    Kind kind() const noexcept;

    // The payload when this statement is of kind T, else null.
    template <class T>
    const T* get_if() const noexcept;

    class Node;

private:
    friend class Node;
    friend struct TestAccess;  // the tests' look at identity and count
    explicit Statement(Node* n) noexcept : node_(n) {}
    std::uint64_t use_count() const noexcept;
    void retain() const noexcept;
    void release() noexcept;

    Node* node_;  // null only when moved from
};

class Statement::Node {
public:
    Kind kind() const noexcept { return kind_; }

    template <class T>
    const T* get_if() const noexcept {
        if constexpr (std::is_same_v<T, Let>) {
            return kind_ == Kind::Let ? &let_ : nullptr;
        } else {
            static_assert(std::is_same_v<T, If>, "not a payload of Statement");
            return kind_ == Kind::If ? &if_node_ : nullptr;
        }
    }

    static void* operator new(std::size_t size) { return allocate_tree_block(size); }
    static void operator delete(void* p, std::size_t size) noexcept { free_tree_block(p, size); }

    explicit Node(Let&& let) noexcept : kind_(Kind::Let) { ::new (static_cast<void*>(&let_)) Let(std::move(let)); }
    explicit Node(If&& node) noexcept : kind_(Kind::If) { ::new (static_cast<void*>(&if_node_)) If(std::move(node)); }
    ~Node();
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

private:
    friend class Statement;

    detail::NodeRefs refs_;  // handles to this node
    // Used by the release walk alone, once the count is zero: the `if` whose
    // lists were being released when this one's turn came, and how many of
    // this one's statements are done.
    Node* releasing_parent_ = nullptr;
    std::size_t released_ = 0;
    Kind kind_;  // which payload is live
    union {
        Let let_;
        If if_node_;
    };
};

inline Statement::Kind Statement::kind() const noexcept { return node_->kind(); }

template <class T>
const T* Statement::get_if() const noexcept {
    return node_->get_if<T>();
}

inline std::uint64_t Statement::use_count() const noexcept {
    return node_ ? node_->refs_.count() : 0;
}

inline void Statement::retain() const noexcept {
    if (node_) node_->refs_.retain();
}

// Deep copy of a whole list, statement by statement in order.
StatementList clone_list(const StatementList& list);

}  // namespace velk
