// Syntax trees: expressions and statements, strictly owned.
//
// Every composite expression owns its operands as separate heap nodes; a
// statement owns its identifier, expressions and lists. Nothing is shared
// between trees and nothing points to a parent. Trees built from Python can
// be as deep as memory allows, so the native stack bounds no walk: copies
// recurse for a few dozen levels and continue with explicit work lists,
// releases never recurse.
#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>
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
    // distinct types.
    template <Kind K>
    struct Pair { ExprBox left; ExprBox right; };
    using Equals = Pair<Kind::Equals>;
    using GreaterThan = Pair<Kind::GreaterThan>;
    using LessThan = Pair<Kind::LessThan>;
    struct Not { ExprBox item; };

    // Leaves are built from their payloads.
    static Expr literal(Value v) noexcept { return Expr(Literal{std::move(v)}); }
    static Expr ident(Identifier id) noexcept { return Expr(Ident{std::move(id)}); }

    // Composite constructors: each operand moves into a heap node of its own.
    static Expr binary_op(Expr a, BinaryOperator o, Expr b);
    static Expr equals(Expr a, Expr b);
    static Expr not_(Expr item);
    static Expr greater_than(Expr a, Expr b);
    static Expr less_than(Expr a, Expr b);

    Expr(Expr&& o) noexcept;
    Expr& operator=(Expr&& o) noexcept;
    ~Expr();

    // Nodes come from the per-thread block caches: every statement run
    // allocates and frees a few.
    static void* operator new(std::size_t size) { return allocate_block(size); }
    static void operator delete(void* p, std::size_t size) noexcept { free_block(p, size); }

    // Deep copy: every node, value and text duplicated, operands left first.
    Expr clone() const;

    Kind kind() const noexcept { return kind_; }
    // Literal and Ident have no operands.
    bool is_leaf() const noexcept { return kind_ <= Kind::Ident; }

    // The payload when this node is of kind T, else null.
    template <class T>
    T* get_if() noexcept {
        return kind_ == kind_of<T>() ? &payload<T>() : nullptr;
    }
    template <class T>
    const T* get_if() const noexcept {
        return const_cast<Expr*>(this)->get_if<T>();
    }

    // The operand slots of this node in field order (left, right / item);
    // empty for leaves. Used by the walkers that must not recurse.
    struct Slots {
        ExprBox* first = nullptr;
        ExprBox* second = nullptr;
    };
    [[gnu::always_inline]] Slots slots() noexcept;

private:
    // A tagged union rather than std::variant: nodes are built, walked and
    // released by the thousand per run, and a switch on the kind costs less
    // than the variant's visitation.
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
    T& payload() noexcept {
        if constexpr (std::is_same_v<T, Literal>) return literal_;
        else if constexpr (std::is_same_v<T, Ident>) return ident_;
        else if constexpr (std::is_same_v<T, BinaryOp>) return binary_;
        else if constexpr (std::is_same_v<T, Equals>) return equals_;
        else if constexpr (std::is_same_v<T, Not>) return negation_;
        else if constexpr (std::is_same_v<T, GreaterThan>) return greater_;
        else return less_;
    }

    template <class T>
        requires(!std::is_same_v<std::remove_cvref_t<T>, Expr>)
    explicit Expr(T&& payload) noexcept : kind_(kind_of<std::remove_cvref_t<T>>()) {
        using P = std::remove_cvref_t<T>;
        ::new (static_cast<void*>(&this->payload<P>())) P(std::forward<T>(payload));
    }
    // A node of the same kind and payload as `src` with empty operand slots,
    // built in place (the copy's one step per node).
    struct ShallowCopy {};
    Expr(ShallowCopy, const Expr& src);
    static ExprBox shallow_copy(const Expr& src);
    // Fill the empty operand slots of `dst`, a shallow copy of `src`:
    // recursively for up to `levels` levels, then with a work stack.
    static void copy_operands(const Expr& src, Expr& dst, int levels);
    static void copy_operands_deep(const Expr& src, Expr& dst);
    // Moves the payload of `o` into this node's (uninitialised) payload.
    void take_payload(Expr& o) noexcept;
    // Destroys the payload; operand slots must be empty by then.
    void destroy_payload() noexcept;

    Kind kind_;  // which payload is live
    union {
        Literal literal_;
        Ident ident_;
        BinaryOp binary_;
        Equals equals_;
        Not negation_;
        GreaterThan greater_;
        LessThan less_;
    };
};

inline Expr::Slots Expr::slots() noexcept {
    if (kind_ == Kind::BinaryOp) return {&binary_.left, &binary_.right};  // the common case first
    switch (kind_) {
        case Kind::Literal:
        case Kind::Ident:
            return {};
        case Kind::BinaryOp:
            return {&binary_.left, &binary_.right};
        case Kind::Equals:
            return {&equals_.left, &equals_.right};
        case Kind::Not:
            return {&negation_.item, nullptr};
        case Kind::GreaterThan:
            return {&greater_.left, &greater_.right};
        case Kind::LessThan:
            return {&less_.left, &less_.right};
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

    static Statement let(Identifier ident, Expr expr) noexcept {
        return Statement(Let{std::move(ident), std::move(expr)});
    }
    static Statement if_(Expr cond, StatementList then, StatementList otherwise) noexcept {
        return Statement(If{std::move(cond), std::move(then), std::move(otherwise)});
    }

    Statement(Statement&& o) noexcept : kind_(o.kind_) { take_payload(o); }
    Statement& operator=(Statement&& o) noexcept;
    ~Statement();

    // Deep copy: identifier, then expression; condition, then-list,
    // otherwise-list, each list statement by statement into a list of
    // exactly the same length.
    Statement clone() const;
    // The same copy, built in place at the end of `list`.
    void append_copy_to(StatementList& list) const;

    // Only Statement makes these: the copying constructor below is public
    // for the lists' allocator, not for callers.
    class CopyKey {
        friend class Statement;
        CopyKey() = default;
    };
    // A deep copy of `src` that recurses for up to `levels` levels of nested
    // lists, then continues with a work stack.
    Statement(CopyKey, const Statement& src, int levels);

    Kind kind() const noexcept { return kind_; }

    // The payload when this statement is of kind T, else null.
    template <class T>
    T* get_if() noexcept {
        if constexpr (std::is_same_v<T, Let>) {
            return kind_ == Kind::Let ? &let_ : nullptr;
        } else {
            static_assert(std::is_same_v<T, If>, "not a payload of Statement");
            return kind_ == Kind::If ? &if_node_ : nullptr;
        }
    }
    template <class T>
    const T* get_if() const noexcept {
        return const_cast<Statement*>(this)->get_if<T>();
    }

private:
    // A tagged union, like Expr.
    explicit Statement(Let&& let) noexcept : kind_(Kind::Let) { ::new (static_cast<void*>(&let_)) Let(std::move(let)); }
    explicit Statement(If&& node) noexcept : kind_(Kind::If) {
        ::new (static_cast<void*>(&if_node_)) If(std::move(node));
    }
    void take_payload(Statement& o) noexcept {
        if (kind_ == Kind::Let) {
            ::new (static_cast<void*>(&let_)) Let(std::move(o.let_));
        } else {
            ::new (static_cast<void*>(&if_node_)) If(std::move(o.if_node_));
        }
    }
    void destroy_payload() noexcept {
        if (kind_ == Kind::Let) {
            let_.~Let();
        } else {
            if_node_.~If();
        }
    }
    static void copy_list(const StatementList& src, StatementList& dst, int levels);
    friend StatementList clone_list(const StatementList& list);

    Kind kind_;  // which payload is live
    union {
        Let let_;
        If if_node_;
    };
};

// True when no statement of `list` is an `if`: the list nests nothing, so
// ordinary destruction releases it in order and it runs without a frame.
bool only_lets(const StatementList& list) noexcept;

// Deep copy of a whole list, statement by statement in order.
StatementList clone_list(const StatementList& list);

// Releases a list without recursing per nesting level (the same walk that
// a statement's destructor uses).
void release_list(StatementList&& list) noexcept;

}  // namespace velk
