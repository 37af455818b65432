// Syntax trees: expressions and statements, strictly owned.
//
// Every composite expression owns its operands as separate heap nodes; a
// statement owns its identifier, expressions and lists. Nothing is shared
// between trees and nothing points to a parent. Trees built from Python can
// be as deep as memory allows, so copy and release never recurse on the
// native stack: both walk with explicit work lists.
#pragma once

#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "velk/block_pool.hpp"
#include "velk/value.hpp"

namespace velk {

// One byte; indices fixed: Add 0, Sub 1, Mul 2, Div 3.
enum class BinaryOperator : std::uint8_t { Add = 0, Sub = 1, Mul = 2, Div = 3 };
static_assert(sizeof(BinaryOperator) == 1);

class Expr;
using ExprBox = std::unique_ptr<Expr>;

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

    struct Literal { Value value; };
    struct Ident { Identifier id; };
    struct BinaryOp { ExprBox left; BinaryOperator op; ExprBox right; };
    // Equals, GreaterThan and LessThan share a shape; the tag keeps them
    // distinct alternatives.
    template <Kind K>
    struct Pair { ExprBox left; ExprBox right; };
    using Equals = Pair<Kind::Equals>;
    using GreaterThan = Pair<Kind::GreaterThan>;
    using LessThan = Pair<Kind::LessThan>;
    struct Not { ExprBox item; };

    using Node = std::variant<Literal, Ident, BinaryOp, Equals, Not, GreaterThan, LessThan>;

    // Leaves are built from their payloads.
    static Expr literal(Value v) noexcept { return Expr(Node(std::in_place_index<0>, Literal{std::move(v)})); }
    static Expr ident(Identifier id) noexcept { return Expr(Node(std::in_place_index<1>, Ident{std::move(id)})); }

    // Composite constructors: each operand moves into a heap node of its own.
    static Expr binary_op(Expr a, BinaryOperator o, Expr b);
    static Expr equals(Expr a, Expr b);
    static Expr not_(Expr item);
    static Expr greater_than(Expr a, Expr b);
    static Expr less_than(Expr a, Expr b);

    Expr(Expr&&) noexcept = default;
    Expr& operator=(Expr&& o) noexcept;
    ~Expr();

    // Nodes come from the per-thread block caches: every statement run
    // allocates and frees a few.
    static void* operator new(std::size_t size) { return allocate_block(size); }
    static void operator delete(void* p, std::size_t size) noexcept { free_block(p, size); }

    // Deep copy: every node, value and text duplicated, operands left first.
    Expr clone() const;

    Kind kind() const noexcept { return static_cast<Kind>(node_.index()); }
    Node& node() noexcept { return node_; }
    const Node& node() const noexcept { return node_; }

    // The operand slots of this node in field order (left, right / item);
    // empty for leaves. Used by the walkers that must not recurse.
    struct Slots {
        ExprBox* first = nullptr;
        ExprBox* second = nullptr;
    };
    Slots slots() noexcept;

private:
    explicit Expr(Node n) noexcept : node_(std::move(n)) {}
    // A node of the same kind and payload as `src` with empty operand slots,
    // built in place (the copy's one step per node).
    struct ShallowCopy {};
    Expr(ShallowCopy, const Expr& src);
    static Node shallow_node(const Expr& src);
    static ExprBox shallow_copy(const Expr& src);
    // Fill the empty operand slots of `dst`, a shallow copy of `src`:
    // recursively for up to `levels` levels, then with a work stack.
    static void copy_operands(const Expr& src, Expr& dst, int levels);
    static void copy_operands_deep(const Expr& src, Expr& dst);

    Node node_;  // alternative index == Kind
};

inline Expr::Slots Expr::slots() noexcept {
    switch (kind()) {
        case Kind::Literal:
        case Kind::Ident:
            return {};
        case Kind::BinaryOp: {
            auto& n = *std::get_if<BinaryOp>(&node_);
            return {&n.left, &n.right};
        }
        case Kind::Equals: {
            auto& n = *std::get_if<Equals>(&node_);
            return {&n.left, &n.right};
        }
        case Kind::Not:
            return {&std::get_if<Not>(&node_)->item, nullptr};
        case Kind::GreaterThan: {
            auto& n = *std::get_if<GreaterThan>(&node_);
            return {&n.left, &n.right};
        }
        case Kind::LessThan: {
            auto& n = *std::get_if<LessThan>(&node_);
            return {&n.left, &n.right};
        }
    }
    return {};
}

class Statement;
// Lists of one or a few statements (the branches of an `if`) are common and
// short-lived, so their storage comes from the block caches too.
using StatementList = std::vector<Statement, BlockAllocator<Statement>>;

class Statement {
public:
    enum class Kind : std::uint8_t { Let = 0, If = 1 };

    struct Let { Identifier ident; Expr expr; };
    struct If { Expr cond; StatementList then; StatementList otherwise; };

    using Node = std::variant<Let, If>;

    static Statement let(Identifier ident, Expr expr) noexcept {
        return Statement(Node(std::in_place_index<0>, Let{std::move(ident), std::move(expr)}));
    }
    static Statement if_(Expr cond, StatementList then, StatementList otherwise) noexcept {
        return Statement(Node(std::in_place_index<1>, If{std::move(cond), std::move(then), std::move(otherwise)}));
    }

    Statement(Statement&&) noexcept = default;
    Statement& operator=(Statement&& o) noexcept;
    ~Statement();

    // Deep copy: identifier, then expression; condition, then-list,
    // otherwise-list, each list statement by statement into a list of
    // exactly the same length.
    Statement clone() const;

    Kind kind() const noexcept { return static_cast<Kind>(node_.index()); }
    Node& node() noexcept { return node_; }
    const Node& node() const noexcept { return node_; }

private:
    explicit Statement(Node n) noexcept : node_(std::move(n)) {}
    // A copy of a `let`, built in place.
    explicit Statement(const Let& src) : node_(std::in_place_index<0>, src.ident, src.expr.clone()) {}
    // Deep copies that recurse for up to `levels` levels of nested lists,
    // then continue with a work stack.
    static Statement copy(const Statement& src, int levels);
    static void copy_list(const StatementList& src, StatementList& dst, int levels);
    friend StatementList clone_list(const StatementList& list);

    Node node_;  // alternative index == Kind
};

// Deep copy of a whole list, statement by statement in order.
StatementList clone_list(const StatementList& list);

// Releases a list without recursing per nesting level (the same walk that
// a statement's destructor uses).
void release_list(StatementList&& list) noexcept;

}  // namespace velk
