// Evaluation of expressions and execution of statements.
//
// Both walks consume their trees. An expression is walked recursively for
// its first kRecursionLevels levels and by deduce_deep, on explicit stacks,
// below; statements always run from a stack of frames: a program can nest
// as deeply as memory allows. Operands are evaluated left before right,
// completely, before the node looks at their kinds; nothing short-circuits.
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

#include "velk/eval.hpp"
#include "velk/eval_error.hpp"
#include "work_stack.hpp"

namespace velk {

namespace {

constexpr SourcePosition kConditionCheck{kCoreSourceFile, 247, 21};
constexpr SourcePosition kStringOperatorCheck{kCoreSourceFile, 283, 26};
constexpr SourcePosition kBinaryKindCheck{kCoreSourceFile, 291, 17};
constexpr SourcePosition kNotCheck{kCoreSourceFile, 303, 17};
constexpr SourcePosition kGreaterThanCheck{kCoreSourceFile, 309, 17};
constexpr SourcePosition kLessThanCheck{kCoreSourceFile, 321, 17};

[[noreturn]] void fail(const char* message, SourcePosition where) {
    throw EvalError(message, where);
}

// Two's-complement wrapping through unsigned arithmetic (the conversion back
// to a signed type is modular since C++20).
std::int64_t wrapping(BinaryOperator op, std::int64_t a, std::int64_t b) noexcept {
    const auto x = static_cast<std::uint64_t>(a);
    const auto y = static_cast<std::uint64_t>(b);
    switch (op) {
        case BinaryOperator::Add: return static_cast<std::int64_t>(x + y);
        case BinaryOperator::Sub: return static_cast<std::int64_t>(x - y);
        default: return static_cast<std::int64_t>(x * y);
    }
}

double to_float(const Number& n) noexcept {
    return n.is_int() ? static_cast<double>(n.as_int()) : n.as_float();
}

Number arithmetic(BinaryOperator op, const Number& l, const Number& r) {
    if (op == BinaryOperator::Div) return Number::div(l, r);
    if (l.is_int() && r.is_int()) return Number::from_int(wrapping(op, l.as_int(), r.as_int()));
    const double a = to_float(l);
    const double b = to_float(r);
    switch (op) {
        case BinaryOperator::Add: return Number::from_float(a + b);
        case BinaryOperator::Sub: return Number::from_float(a - b);
        default: return Number::from_float(a * b);
    }
}

Value binary(BinaryOperator op, const Value& l, const Value& r) {
    if (l.is_string()) {
        if (!r.is_string()) fail("Binary operator for unknown type", kBinaryKindCheck);
        if (op != BinaryOperator::Add) {
            fail("Unknown binary operation for Value::String", kStringOperatorCheck);
        }
        const std::string_view a = l.as_string();
        const std::string_view b = r.as_string();
        Text joined = Text::uninitialized(a.size() + b.size());
        if (!a.empty()) std::memcpy(joined.data(), a.data(), a.size());
        if (!b.empty()) std::memcpy(joined.data() + a.size(), b.data(), b.size());
        return Value::string(std::move(joined));
    }
    if (l.is_number() && r.is_number()) return Value::number(arithmetic(op, l.as_number(), r.as_number()));
    fail("Binary operator for unknown type", kBinaryKindCheck);
}

// IEEE 754 totalOrder as an integer key: negative values have their
// magnitude bits flipped so that the signed integer order is the total order.
std::int64_t total_order_key(double x) noexcept {
    auto bits = std::bit_cast<std::int64_t>(x);
    if (bits < 0) bits ^= std::numeric_limits<std::int64_t>::max();
    return bits;
}

// -1, 0 or 1 as `l` sorts before, with or after `r`.
int compare(const Number& l, const Number& r) noexcept {
    std::int64_t a, b;
    if (l.is_int() && r.is_int()) {
        a = l.as_int();
        b = r.as_int();
    } else {
        a = total_order_key(to_float(l));
        b = total_order_key(to_float(r));
    }
    return (a > b) - (a < b);
}

// Applies a composite node to its evaluated operands (`right` is unused
// for `not`).
Value combine(const Expr& e, const Value& left, const Value& right) {
    switch (e.kind()) {
        case Expr::Kind::BinaryOp:
            return binary(e.get_if<Expr::BinaryOp>()->op, left, right);
        case Expr::Kind::Equals:
            return Value::boolean(left == right);
        case Expr::Kind::Not:
            if (!left.is_boolean()) {
                fail("The not expression must be used on a boolean value", kNotCheck);
            }
            return Value::boolean(!left.as_boolean());
        case Expr::Kind::GreaterThan:
            if (!left.is_number() || !right.is_number()) {
                fail("Both left-hand and right-hand side values must be a number", kGreaterThanCheck);
            }
            return Value::boolean(compare(left.as_number(), right.as_number()) > 0);
        case Expr::Kind::LessThan:
            if (!left.is_number() || !right.is_number()) {
                fail("Both left-hand and right-hand side values must be a number", kLessThanCheck);
            }
            return Value::boolean(compare(left.as_number(), right.as_number()) < 0);
        default:
            break;
    }
    return Value();  // leaves never reach here
}

// A literal's value is moved into its result; a variable yields the stored
// value object itself.
ValueRef leaf_value(const Machine& m, Expr& e) {
    if (auto* lit = e.get_if<Expr::Literal>()) return ValueRef::make(std::move(lit->value));
    return m.get(e.get_if<Expr::Ident>()->id);
}

const Value kNoOperand;

// Releases a node's operands after its result is built. They are leaves or
// nodes whose own operands are gone already, so this never walks far.
void drop_operands(Expr& e) noexcept {
    Expr::Slots s = e.slots();
    if (s.first) s.first->reset();
    if (s.second) s.second->reset();
}

// The walk for subtrees deeper than the recursive walk goes: pending nodes
// and results live on explicit stacks, so any depth that fits in memory
// runs on a bounded native stack. Every result here is a shared value.
ValueRef deduce_deep(const Machine& machine, Expr expr) {
    if (expr.is_leaf()) return leaf_value(machine, expr);

    struct Task {
        Expr* node;  // owned by `expr`
        bool ready;  // operands are on the value stack: combine now
    };
    detail::WorkStack<Task, 32> tasks;
    detail::WorkStack<ValueRef, 32> values;
    tasks.emplace(Task{&expr, false});
    while (!tasks.empty()) {
        const Task t = tasks.take();
        Expr& e = *t.node;
        if (e.is_leaf()) {
            values.emplace(leaf_value(machine, e));
            continue;
        }
        Expr::Slots s = e.slots();
        if (!t.ready) {
            tasks.emplace(Task{&e, true});
            if (s.second) tasks.emplace(Task{s.second->get(), false});
            tasks.emplace(Task{s.first->get(), false});
            continue;
        }
        const ValueRef right = s.second ? values.take() : ValueRef();
        const ValueRef left = values.take();
        ValueRef result = ValueRef::make(combine(e, *left, right ? *right : kNoOperand));
        drop_operands(e);
        values.emplace(std::move(result));
    }
    return values.take();
}

// Levels the recursive walk descends before it hands a subtree to
// deduce_deep: deep enough for any tree written by hand, shallow enough
// (a few KiB of native stack) for the smallest thread stacks.
constexpr int kRecursionLevels = 48;

// Where an operand's value lives while its node combines it. Intermediate
// results stay plain values: only the value an expression finally yields
// becomes a shared one.
struct Operand {
    ValueRef held;  // a variable's stored text, or a deep subtree's result
    Value own;      // a result computed by this walk, or a variable's plain value
};

Value composite_value(const Machine& m, Expr& e, int levels);

// The value of operand `e`: a literal is read in place (its node is
// released with the others once the parent's result is built), a variable's
// text is the stored value itself and its other values are read into
// `slot`, anything else is computed into `slot`.
const Value& operand_value(const Machine& m, Expr& e, Operand& slot, int levels) {
    switch (e.kind()) {
        case Expr::Kind::Literal:
            return e.get_if<Expr::Literal>()->value;
        case Expr::Kind::Ident:
            return m.read(e.get_if<Expr::Ident>()->id, slot.own, slot.held);
        default:
            break;
    }
    if (levels == 0) {
        slot.held = deduce_deep(m, std::move(e));
        return *slot.held;
    }
    slot.own = composite_value(m, e, levels - 1);
    return slot.own;
}

// Left operand completely, then the right one, then the node's own checks.
Value composite_value(const Machine& m, Expr& e, int levels) {
    const Expr::Slots s = e.slots();
    Operand left, right;
    const Value& l = operand_value(m, **s.first, left, levels);
    const Value& r = s.second ? operand_value(m, **s.second, right, levels) : kNoOperand;
    Value result = combine(e, l, r);
    drop_operands(e);
    return result;
}

// The value of `expr`, consuming it in place: a statement's expression is
// evaluated where it lies, without moving it out first.
ValueRef evaluate(const Machine& machine, Expr& expr) {
    switch (expr.kind()) {
        case Expr::Kind::Literal:
        case Expr::Kind::Ident:
            return leaf_value(machine, expr);
        default:
            return ValueRef::make(composite_value(machine, expr, kRecursionLevels));
    }
}

}  // namespace

ValueRef deduce_expr(const Machine& machine, Expr expr) { return evaluate(machine, expr); }

namespace {

void run_let(const Machine& machine, Statement::Let& let) {
    ValueRef value = evaluate(machine, let.expr);
    // The replaced value, if any, is released here: after the store's lock
    // is gone.
    std::optional<ValueRef> previous = machine.vars._insert(std::move(let.ident), std::move(value));
}

}  // namespace

void deduce(const Machine& machine, StatementList statements) {
    struct Frame {
        StatementList list;  // the list being run, consumed statement by statement
        std::size_t next;    // index of the next statement to run
    };
    detail::WorkStack<Frame, 16> frames;
    frames.emplace(Frame{std::move(statements), 0});
    while (!frames.empty()) {
        Frame& f = frames.top();
        if (f.next == f.list.size()) {
            frames.pop();
            continue;
        }
        Statement& s = f.list[f.next++];
        if (auto* let = s.get_if<Statement::Let>()) {
            run_let(machine, *let);
            continue;
        }
        auto& n = *s.get_if<Statement::If>();
        bool truth;
        {
            // Only the truth of the condition is kept: its value need not
            // become a shared one.
            Operand slot;
            const Value& cond = operand_value(machine, n.cond, slot, kRecursionLevels);
            if (!cond.is_boolean()) {
                fail("Expected deduced condition to be a bool, got other type", kConditionCheck);
            }
            truth = cond.as_boolean();
        }
        StatementList chosen = std::move(truth ? n.then : n.otherwise);
        release_list(std::move(truth ? n.otherwise : n.then));
        if (only_lets(chosen)) {
            // A branch of bindings alone nests nothing: it runs here, with no
            // frame of its own, and goes when it is done.
            for (Statement& b : chosen) run_let(machine, *b.get_if<Statement::Let>());
            continue;
        }
        // `f` may move when the stack grows; it is not used past this point.
        frames.emplace(Frame{std::move(chosen), 0});
    }
}

}  // namespace velk
