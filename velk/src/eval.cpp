// Evaluation of expressions and execution of statements.
//
// One walk design serves both. Trees are immutable and shared, so the walks
// read them where they lie: nothing is copied on the way in and nothing is
// consumed, and the branch of an `if` that is not taken is never touched.
//
// Expressions. Operands are evaluated left before right, completely, before
// the node looks at their kinds; nothing short-circuits. A node is evaluated
// by a plain recursion for its first kRecursionLevels levels, which covers
// every tree written by hand at full speed and uses a few KiB of native
// stack; a subtree below that is handed to deep_value, which keeps pending
// nodes and operand values on explicit stacks, so that any depth that fits
// in memory runs on a bounded native stack. Intermediate results are plain
// values; only the value a `let` binds is a shared one, and a literal's
// shared value is bound as it is. A literal operand is read in place; a
// variable operand is read under its shard's read lock (a text by one more
// reference, any other value copied), and the identifier's hash for the
// machine's store is remembered in its node, so a tree that runs again on
// one machine hashes no name twice.
//
// Statements run from an explicit stack of frames, one per list being run,
// each frame two pointers: a nested `if` never recurses, and an `if` that
// ends its list replaces that list's frame instead of adding one.
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

#include "velk/eval.hpp"
#include "velk/failures.hpp"
#include "work_stack.hpp"

namespace velk {

namespace {

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

Number arithmetic(BinaryOperator op, const Number& l, const Number& r) {
    if (op == BinaryOperator::Div) return Number::div(l, r);
    if (l.is_int() && r.is_int()) return Number::from_int(wrapping(op, l.as_int(), r.as_int()));
    const double a = l.to_float();
    const double b = r.to_float();
    switch (op) {
        case BinaryOperator::Add: return Number::from_float(a + b);
        case BinaryOperator::Sub: return Number::from_float(a - b);
        default: return Number::from_float(a * b);
    }
}

Value binary(BinaryOperator op, const Value& l, const Value& r) {
    if (l.is_number() && r.is_number()) return Value::number(arithmetic(op, l.as_number(), r.as_number()));
    if (l.is_string()) {
        if (!r.is_string()) raise(failures::kOperandKinds);
        if (op != BinaryOperator::Add) {
            raise(failures::kStringOperator);
        }
        const std::string_view a = l.as_string();
        const std::string_view b = r.as_string();
        Text joined = Text::uninitialized(a.size() + b.size());
        if (!a.empty()) std::memcpy(joined.data(), a.data(), a.size());
        if (!b.empty()) std::memcpy(joined.data() + a.size(), b.data(), b.size());
        return Value::string(std::move(joined));
    }
    raise(failures::kOperandKinds);
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
        a = total_order_key(l.to_float());
        b = total_order_key(r.to_float());
    }
    return (a > b) - (a < b);
}

// Applies a composite node to its evaluated operands (`right` is unused
// for `not`).
Value combine(const Expr::Node& e, const Value& left, const Value& right) {
    switch (e.kind()) {
        case Expr::Kind::BinaryOp:
            return binary(e.get_if<Expr::BinaryOp>()->op, left, right);
        case Expr::Kind::Equals:
            return Value::boolean(left == right);
        case Expr::Kind::Not:
            if (!left.is_boolean()) {
                raise(failures::kNotOperand);
            }
            return Value::boolean(!left.as_boolean());
        case Expr::Kind::GreaterThan:
            if (!left.is_number() || !right.is_number()) {
                raise(failures::kGreaterThanOperands);
            }
            return Value::boolean(compare(left.as_number(), right.as_number()) > 0);
        case Expr::Kind::LessThan:
            if (!left.is_number() || !right.is_number()) {
                raise(failures::kLessThanOperands);
            }
            return Value::boolean(compare(left.as_number(), right.as_number()) < 0);
        default:
            break;
    }
    return Value();  // leaves never reach here
}

const Value kNoOperand;

// Levels the recursive walk descends before it hands a subtree to
// deep_value: deep enough for any tree written by hand, shallow enough (a
// few KiB of native stack) for the smallest thread stacks.
constexpr int kRecursionLevels = 48;

// Where an operand's value lives while its node combines it.
struct Operand {
    const Value* in_tree = nullptr;  // a literal's value, read where it lies
    ValueRef held;                   // a variable's stored text
    Value own;                       // a computed result, or a variable's plain value

    const Value& value() const noexcept { return in_tree ? *in_tree : held ? *held : own; }
};

const Value& read_variable(const Machine& m, const Expr::Ident& v, Operand& slot) {
    return m.read(v.id, v.memo, slot.own, slot.held);
}

// The walk for subtrees deeper than the recursive walk goes: pending nodes
// and operand values live on explicit stacks.
Value deep_value(const Machine& machine, const Expr::Node& root) {
    struct Task {
        const Expr::Node* node;
        bool ready;  // its operands are on the value stack: combine now
    };
    detail::WorkStack<Task, 32> tasks;
    detail::WorkStack<Operand, 32> values;
    tasks.emplace(Task{&root, false});
    while (!tasks.empty()) {
        const Task t = tasks.take();
        const Expr::Node& e = *t.node;
        if (const auto* lit = e.get_if<Expr::Literal>()) {
            values.emplace().in_tree = lit->value.get();
            continue;
        }
        if (const auto* v = e.get_if<Expr::Ident>()) {
            Operand slot;
            read_variable(machine, *v, slot);
            values.emplace(std::move(slot));
            continue;
        }
        const Expr::Node::Slots s = e.slots();
        if (!t.ready) {
            tasks.emplace(Task{&e, true});
            if (s.second) tasks.emplace(Task{&s.second->node(), false});
            tasks.emplace(Task{&s.first->node(), false});
            continue;
        }
        const Operand right = s.second ? values.take() : Operand();
        const Operand left = values.take();
        Value result = combine(e, left.value(), s.second ? right.value() : kNoOperand);
        values.emplace().own = std::move(result);
    }
    return std::move(values.take().own);
}

Value composite_value(const Machine& m, const Expr::Node& e, int levels);

// The value of operand `e`, read in place or computed into `slot`.
const Value& operand_value(const Machine& m, const Expr::Node& e, Operand& slot, int levels) {
    switch (e.kind()) {
        case Expr::Kind::Literal:
            return *e.get_if<Expr::Literal>()->value;
        case Expr::Kind::Ident:
            return read_variable(m, *e.get_if<Expr::Ident>(), slot);
        default:
            break;
    }
    slot.own = levels == 0 ? deep_value(m, e) : composite_value(m, e, levels - 1);
    return slot.own;
}

// The common case of + - * < and > on two Ints, done in place; nothing
// when the operands or the operator are anything else.
std::optional<Value> int_shortcut(const Expr::Node& e, const Value& l, const Value& r) noexcept {
    if (!l.is_number() || !r.is_number() || !l.as_number().is_int() || !r.as_number().is_int()) return {};
    const std::int64_t a = l.as_number().as_int();
    const std::int64_t b = r.as_number().as_int();
    switch (e.kind()) {
        case Expr::Kind::BinaryOp: {
            const BinaryOperator op = e.get_if<Expr::BinaryOp>()->op;
            if (op == BinaryOperator::Div) return {};
            return Value::number(Number::from_int(wrapping(op, a, b)));
        }
        case Expr::Kind::LessThan: return Value::boolean(a < b);
        case Expr::Kind::GreaterThan: return Value::boolean(a > b);
        default: return {};
    }
}

// Left operand completely, then the right one, then the node's own checks.
Value composite_value(const Machine& m, const Expr::Node& e, int levels) {
    const Expr::Node::Slots s = e.slots();
    Operand left, right;
    const Value& l = operand_value(m, s.first->node(), left, levels);
    const Value& r = s.second ? operand_value(m, s.second->node(), right, levels) : kNoOperand;
    if (auto quick = int_shortcut(e, l, r)) return std::move(*quick);
    return combine(e, l, r);
}

// The value an expression yields as a shared value: a literal's own, a
// variable's stored one, or a new one for a computed result.
ValueRef evaluate(const Machine& machine, const Expr::Node& e) {
    switch (e.kind()) {
        case Expr::Kind::Literal:
            return e.get_if<Expr::Literal>()->value;
        case Expr::Kind::Ident: {
            const auto& v = *e.get_if<Expr::Ident>();
            return machine.get(v.id, v.memo);
        }
        default:
            return ValueRef::make(composite_value(machine, e, kRecursionLevels));
    }
}

bool condition_truth(const Machine& machine, const Expr& cond) {
    Operand slot;
    const Value& v = operand_value(machine, cond.node(), slot, kRecursionLevels);
    if (!v.is_boolean()) raise(failures::kCondition);
    return v.as_boolean();
}

void run_let(const Machine& machine, const Statement::Let& let) {
    ValueRef value = evaluate(machine, let.expr.node());
    // The replaced value, if any, is released here: after the store's lock
    // is gone.
    std::optional<ValueRef> previous = machine.vars.bind(let.ident, let.memo, std::move(value));
}

void run_lists(const Machine& machine, const Statement* first, const Statement* last) {
    struct Frame {
        const Statement* next;  // the next statement of the list to run
        const Statement* end;   // one past the list's last statement
    };
    detail::WorkStack<Frame, 16> frames;
    frames.emplace(Frame{first, last});
    while (!frames.empty()) {
        Frame& f = frames.top();
        if (f.next == f.end) {
            frames.pop();
            continue;
        }
        const Statement& s = *f.next++;
        if (const auto* let = s.get_if<Statement::Let>()) {
            run_let(machine, *let);
            continue;
        }
        const auto& n = *s.get_if<Statement::If>();
        const StatementList& chosen = condition_truth(machine, n.cond) ? n.then : n.otherwise;
        if (chosen.empty()) continue;
        const Frame branch{chosen.data(), chosen.data() + chosen.size()};
        if (f.next == f.end) {
            f = branch;  // nothing of this list is left to run
        } else {
            frames.emplace(branch);
        }
    }
}

}  // namespace

ValueRef deduce_expr(const Machine& machine, const Expr& expr) { return evaluate(machine, expr.node()); }

void run(const Machine& machine, const Statement& statement) {
    // One statement, and a chosen list of one, need no frame: the loop
    // follows them until a list of several statements needs the frames.
    const Statement* s = &statement;
    for (;;) {
        if (const auto* let = s->get_if<Statement::Let>()) return run_let(machine, *let);
        const auto& n = *s->get_if<Statement::If>();
        const StatementList& chosen = condition_truth(machine, n.cond) ? n.then : n.otherwise;
        if (chosen.empty()) return;
        if (chosen.size() > 1) return run_lists(machine, chosen.data(), chosen.data() + chosen.size());
        s = chosen.data();
    }
}

void run(const Machine& machine, std::span<const Statement> statements) {
    run_lists(machine, statements.data(), statements.data() + statements.size());
}

void deduce(const Machine& machine, StatementList statements) { run(machine, statements); }

}  // namespace velk
