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
// each frame two pointers: a nested `if` never recurses. Every run, whatever
// hands it its statements and whatever meters it, goes in through one entry
// (run_statements), which keeps the run's trail: the frames, and the
// one-statement lists followed without one. A failure learns its place
// there, once: only a failing run spends anything on it, by reading the
// trail as the failure passes out.
//
// Limits and polls. Every walk is written once over a Meter: Unmetered
// serves a machine without limits and counts only toward the run's poll;
// Metered counts steps (nodes, and the bytes of text work as velk/limits.hpp
// says) and the bytes that joins make, and raises the catalogued limit
// failure before the work is done. Both call the run's poll every
// kPollInterval steps (Unmetered: ticks) at most, from one cold path.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>

#include "velk/eval.hpp"
#include "failures.hpp"
#include "work_stack.hpp"

namespace velk {

namespace {

// Integer arithmetic, all of it: + - * wrap in two's complement (through
// unsigned arithmetic; the conversion back to a signed type is modular since
// C++20), / truncates and fails on 0 and on INT64_MIN / -1.
std::int64_t int_arithmetic(BinaryOperator op, std::int64_t a, std::int64_t b) {
    const auto x = static_cast<std::uint64_t>(a);
    const auto y = static_cast<std::uint64_t>(b);
    switch (op) {
        case BinaryOperator::Add: return static_cast<std::int64_t>(x + y);
        case BinaryOperator::Sub: return static_cast<std::int64_t>(x - y);
        case BinaryOperator::Mul: return static_cast<std::int64_t>(x * y);
        default: return Number::int_quotient(a, b);
    }
}

Number arithmetic(BinaryOperator op, const Number& l, const Number& r) {
    if (l.is_int() && r.is_int()) return Number::from_int(int_arithmetic(op, l.as_int(), r.as_int()));
    const double a = l.to_float();
    const double b = r.to_float();
    switch (op) {
        case BinaryOperator::Add: return Number::from_float(a + b);
        case BinaryOperator::Sub: return Number::from_float(a - b);
        case BinaryOperator::Mul: return Number::from_float(a * b);
        default: return Number::from_float(a / b);
    }
}

// ---- meters ---------------------------------------------------------------

// A machine without limits: nothing is counted but the ticks toward the
// run's next poll, and the bytes of a join or a comparison as under limits.
// The ticks come only where a run could go on long: in the loops over
// statements and in the descent into an expression (see kTickLevels). A
// name's bytes are left out: a variable read stays at its cost.
class Unmetered {
public:
    Unmetered(const Limits&, Poll poll) noexcept : poll_(poll), budget_(poll ? kPollInterval : Limits::kUnlimited) {}
    void statement() noexcept {}  // the loop that runs it ticks
    void step(std::uint64_t = 1) noexcept {}
    void tick() {
        if (--budget_ == 0) [[unlikely]] polled();
    }
    void join(std::uint64_t) noexcept {}
    void touch(std::uint64_t bytes) {
        const std::uint64_t steps = text_steps(bytes);
        if (budget_ <= steps) [[unlikely]] return polled();
        budget_ -= steps;
    }
    void name(const Identifier&) noexcept {}
    static std::optional<ValueRef> bind(const Machine& m, const Statement::Let& let, ValueRef value) {
        return m.bind(let.key(), std::move(value));
    }

private:
    [[gnu::cold]] void polled() {
        budget_ = kPollInterval;
        if (poll_) poll_();
    }

    Poll poll_;
    std::uint64_t budget_;  // steps before the next poll
};

[[noreturn, gnu::cold]] void exceeded(const Failure& failure, std::uint64_t limit) {
    raise(failure, std::to_string(limit));
}

// Charges the bytes of a name to `meter` (velk/limits.hpp). A number or
// an inline text, the usual name, is shorter than kBytesPerStep: nothing to
// charge, and no check of the budget.
template <class Meter>
[[gnu::always_inline]] inline void charge_name(Meter& meter, const Identifier& id) {
    if (id.copy_allocates()) [[unlikely]] meter.touch(id.as_s().size());
}

// A machine with limits: one count of steps for the whole run, and the bytes
// the joins of the current statement have made. The steps left are split
// into a budget, what may be spent before the next poll, and the rest: the
// common step checks the budget alone, with the poll's cost already paid.
class Metered {
public:
    Metered(const Limits& limits, Poll poll) noexcept
        : limits_(limits),
          poll_(poll),
          budget_(poll ? std::min(limits.max_steps, kPollInterval) : limits.max_steps),
          reserve_(limits.max_steps - budget_) {}

    // A statement starts: one step, and its joins start from nothing.
    void statement() {
        step();
        made_ = 0;
    }
    void step(std::uint64_t steps = 1) {
        if (budget_ < steps) [[unlikely]] refill(steps);
        budget_ -= steps;
    }
    void tick() noexcept {}  // the steps cover it
    // A join is about to make `size` bytes.
    void join(std::uint64_t size) {
        if (size > limits_.max_text) exceeded(failures::kTextLimit, limits_.max_text);
        if (size > limits_.max_bytes - made_) exceeded(failures::kBytesLimit, limits_.max_bytes);
        made_ += size;
    }
    // Work is about to touch `bytes` bytes of text.
    void touch(std::uint64_t bytes) { step(text_steps(bytes)); }
    void name(const Identifier& id) { charge_name(*this, id); }
    static std::optional<ValueRef> bind(const Machine& m, const Statement::Let& let, ValueRef value) {
        return m.bind(let.key(), std::move(value));  // the machine counts the bytes
    }
    // A statement starts whose expression `e` has `count` nodes: when the
    // statement and all of them fit in the budget, they are charged at once
    // and the steps charged say that its walk needs no step checks
    // (Prepaid). Otherwise nothing is charged (0) and the walk counts node
    // by node, so a run stops at exactly the same node either way.
    std::uint64_t charge_whole(const Statement::NodeCount& count, const Expr& e);
    // Takes `steps` from the budget, or nothing (false) when it is short.
    bool take(std::uint64_t steps) noexcept {
        if (budget_ < steps) return false;
        budget_ -= steps;
        return true;
    }
    // Gives back the charge of a statement that is walked again.
    void refund(std::uint64_t steps) noexcept { budget_ += steps; }

private:
    [[gnu::cold]] void refill(std::uint64_t steps);

    const Limits limits_;    // the machine's, as the run began (a poll may set others)
    Poll poll_;
    std::uint64_t budget_;   // steps before the next poll
    std::uint64_t reserve_;  // steps left after the budget
    std::uint64_t made_ = 0;  // by the joins of the current statement; at most max_bytes
};

// The budget is short of `steps`: past the limit, the run fails; else the
// poll has its turn and the budget is filled again.
void Metered::refill(std::uint64_t steps) {
    const std::uint64_t left = budget_ + reserve_;
    if (left < steps) exceeded(failures::kStepsLimit, limits_.max_steps);
    budget_ = std::min(left, std::max(steps, kPollInterval));
    reserve_ = left - budget_;
    poll_();  // without one the budget is all that is left: never here
}

// Nodes counted before a statement is left to node-by-node steps: a
// statement's first metered run walks at most this many to count them.
constexpr std::uint64_t kCountedNodes = 4096;

// The nodes a walk of `e` visits (shared subtrees once per visit), or
// NodeCount::kMany past kCountedNodes.
std::uint64_t count_nodes(const Expr& e) {
    detail::WorkStack<const Expr*, 32> pending;
    pending.emplace(&e);
    std::uint64_t n = 0;
    while (!pending.empty()) {
        const Expr* x = pending.take();
        if (++n > kCountedNodes) return Statement::NodeCount::kMany;
        const Expr::Node::Slots s = x->node().slots();
        if (s.second) pending.emplace(s.second);
        if (s.first) pending.emplace(s.first);
    }
    return n;
}

std::uint64_t Metered::charge_whole(const Statement::NodeCount& count, const Expr& e) {
    std::uint64_t n = count.get();
    if (n == 0) {
        n = count_nodes(e);
        count.set(n);
    }
    if (n == Statement::NodeCount::kMany || budget_ <= n) return 0;
    budget_ -= n + 1;  // the statement and its nodes
    made_ = 0;
    return n + 1;
}

// Thrown by the walk of a statement charged whole when the text work it
// meets finds the budget short: the statement is walked again node by node,
// which stops where such a walk stops and lets the poll have its turn. The
// walk only read variables; the work done twice is at most what one budget
// pays.
struct Recount {};

// The meter of a statement whose node steps are charged already: its joins
// and its text work still count.
struct Prepaid {
    Metered& metered;
    std::uint64_t paid;  // for this statement so far

    void step(std::uint64_t = 1) noexcept {}
    void tick() noexcept {}
    void join(std::uint64_t size) { metered.join(size); }
    void touch(std::uint64_t bytes) {
        const std::uint64_t steps = text_steps(bytes);
        if (!metered.take(steps)) throw Recount{};
        paid += steps;
    }
    void name(const Identifier& id) { charge_name(*this, id); }
};

// One walk's company: the machine and the meter of this run.
template <class Meter>
struct Walk {
    const Machine& machine;
    Meter meter;
};

// Gives `walk` the walk of a statement charged whole when its steps fit the
// budget; false, with nothing charged, when the statement is to be walked
// node by node (whether or not `walk` began).
template <class Walked>
bool walked_prepaid(Walk<Metered>& w, const Statement::NodeCount& count, const Expr& e, Walked&& walk) {
    const std::uint64_t charged = w.meter.charge_whole(count, e);
    if (charged == 0) return false;
    Walk<Prepaid> prepaid{w.machine, Prepaid{w.meter, charged}};
    try {
        walk(prepaid);
        return true;
    } catch (const Recount&) {
        w.meter.refund(prepaid.meter.paid);
        return false;
    }
}

// ---- expressions ----------------------------------------------------------

template <class Meter>
Value binary(Meter& meter, BinaryOperator op, const Value& l, const Value& r) {
    if (l.is_number() && r.is_number()) return Value::number(arithmetic(op, l.as_number(), r.as_number()));
    if (l.is_string()) {
        if (!r.is_string()) raise(failures::kOperandKinds);
        if (op != BinaryOperator::Add) {
            raise(failures::kStringOperator);
        }
        const std::string_view a = l.as_string();
        const std::string_view b = r.as_string();
        meter.join(a.size() + b.size());
        meter.touch(a.size() + b.size());
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

// Whether a `<` or `>` node holds for its evaluated operands.
inline bool comparison(const Expr::Node& e, const Value& left, const Value& right) {
    const bool less = e.kind() == Expr::Kind::LessThan;
    if (!left.is_number() || !right.is_number()) {
        raise(less ? failures::kLessThanOperands : failures::kGreaterThanOperands);
    }
    const int order = compare(left.as_number(), right.as_number());
    return less ? order < 0 : order > 0;
}

// The bytes == reads of two values: texts of equal length are compared
// byte by byte, any other pair at once.
inline std::uint64_t compared_bytes(const Value& l, const Value& r) noexcept {
    if (!l.is_string() || !r.is_string()) return 0;
    const std::size_t size = l.as_string().size();
    return size == r.as_string().size() ? size : 0;
}

// Applies a composite node to its evaluated operands (`right` is unused
// for `not`).
template <class Meter>
Value combine(Meter& meter, const Expr::Node& e, const Value& left, const Value& right) {
    switch (e.kind()) {
        case Expr::Kind::BinaryOp:
            return binary(meter, e.get_if<Expr::BinaryOp>()->op, left, right);
        case Expr::Kind::Equals:
            meter.touch(compared_bytes(left, right));
            return Value::boolean(left == right);
        case Expr::Kind::Not:
            if (!left.is_boolean()) {
                raise(failures::kNotOperand);
            }
            return Value::boolean(!left.as_boolean());
        case Expr::Kind::GreaterThan:
        case Expr::Kind::LessThan:
            return Value::boolean(comparison(e, left, right));
        default:
            break;
    }
    return Value();  // leaves never reach here
}

const Value kNoOperand;

// Levels of statements or of expression nodes between two ticks of
// Unmetered. A tick covers a statement and the one-statement lists it
// follows down to kTickLevels - 1 levels, and in each of those the top
// kTickLevels levels of its expression (2^kTickLevels - 1 composite nodes
// at most); a composite operand at every kTickLevels-th depth further down
// ticks for the levels under it. Most statements then cost one tick, that
// of the loop running them.
constexpr int kTickLevels = 4;

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

template <class Meter>
const Value& read_variable(Walk<Meter>& w, const Expr::Ident& v, Operand& slot) {
    w.meter.name(v.id);
    return w.machine.read(v.key(), slot.own, slot.held);
}

// The walk for subtrees deeper than the recursive walk goes: pending nodes
// and operand values live on explicit stacks.
template <class Meter>
Value deep_value(Walk<Meter>& w, const Expr::Node& root) {
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
        if (!t.ready) {
            w.meter.step();
            w.meter.tick();
        }
        if (const auto* lit = e.get_if<Expr::Literal>()) {
            values.emplace().in_tree = &lit->operand();
            continue;
        }
        if (const auto* v = e.get_if<Expr::Ident>()) {
            Operand slot;
            read_variable(w, *v, slot);
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
        Value result = combine(w.meter, e, left.value(), s.second ? right.value() : kNoOperand);
        values.emplace().own = std::move(result);
    }
    return std::move(values.take().own);
}

template <class Meter>
Value composite_value(Walk<Meter>& w, const Expr::Node& e, int levels);

// Whether a composite operand evaluated with `levels` left ticks: under a
// `let` it lies at depth kRecursionLevels + 1 - levels of the expression (a
// condition's operands one level higher).
constexpr bool ticks_at(int levels) noexcept { return (kRecursionLevels + 1 - levels) % kTickLevels == 0; }

// The value of operand `e`, read in place or computed into `slot`.
// A literal or variable operand is counted by the node it belongs to, with
// that node's own step: one check for up to three nodes.
template <class Meter>
const Value& operand_value(Walk<Meter>& w, const Expr::Node& e, Operand& slot, int levels) {
    switch (e.kind()) {
        case Expr::Kind::Literal:
            return e.get_if<Expr::Literal>()->operand();
        case Expr::Kind::Ident:
            return read_variable(w, *e.get_if<Expr::Ident>(), slot);
        default:
            break;
    }
    if (ticks_at(levels)) w.meter.tick();
    slot.own = levels == 0 ? deep_value(w, e) : composite_value(w, e, levels - 1);
    return slot.own;
}

// The common case of arithmetic, < and > on two Ints, done in place;
// nothing when the operands or the node are anything else.
std::optional<Value> int_shortcut(const Expr::Node& e, const Value& l, const Value& r) {
    if (!l.is_number() || !r.is_number() || !l.as_number().is_int() || !r.as_number().is_int()) return {};
    const std::int64_t a = l.as_number().as_int();
    const std::int64_t b = r.as_number().as_int();
    switch (e.kind()) {
        case Expr::Kind::BinaryOp:
            return Value::number(Number::from_int(int_arithmetic(e.get_if<Expr::BinaryOp>()->op, a, b)));
        case Expr::Kind::LessThan: return Value::boolean(a < b);
        case Expr::Kind::GreaterThan: return Value::boolean(a > b);
        default: return {};
    }
}

// 1 for an operand that is a leaf (a literal or a variable), which the node
// it belongs to counts with its own step; 0 for a composite operand, which
// counts itself, or for none.
inline std::uint64_t leaf_count(const Expr* operand) noexcept {
    return operand != nullptr && operand->kind() <= Expr::Kind::Ident;
}

// Counts composite node `e` with its leaf operands, evaluates the left
// operand completely, then the right one, and hands their values to
// `apply`, which makes the node's own checks.
template <class Meter, class Apply>
[[gnu::always_inline]] inline auto with_operands(Walk<Meter>& w, const Expr::Node& e, int levels, Apply&& apply) {
    const Expr::Node::Slots s = e.slots();
    w.meter.step(1 + leaf_count(s.first) + leaf_count(s.second));
    Operand left, right;
    const Value& l = operand_value(w, s.first->node(), left, levels);
    const Value& r = s.second ? operand_value(w, s.second->node(), right, levels) : kNoOperand;
    return apply(l, r);
}

template <class Meter>
Value composite_value(Walk<Meter>& w, const Expr::Node& e, int levels) {
    return with_operands(w, e, levels, [&](const Value& l, const Value& r) {
        if (auto quick = int_shortcut(e, l, r)) return std::move(*quick);
        return combine(w.meter, e, l, r);
    });
}

// The value an expression yields as a shared value: a literal's own, a
// variable's stored one, or a new one for a computed result.
template <class Meter>
ValueRef evaluate(Walk<Meter>& w, const Expr::Node& e) {
    switch (e.kind()) {
        case Expr::Kind::Literal:
            w.meter.step();
            return e.get_if<Expr::Literal>()->value;
        case Expr::Kind::Ident: {
            w.meter.step();
            const auto& v = *e.get_if<Expr::Ident>();
            w.meter.name(v.id);
            return w.machine.get(v.key());
        }
        default:
            return ValueRef::make(composite_value(w, e, kRecursionLevels));
    }
}

// ---- statements -----------------------------------------------------------

template <class Meter>
bool condition_truth(Walk<Meter>& w, const Expr& cond) {
    const Expr::Node& e = cond.node();
    if (e.kind() == Expr::Kind::LessThan || e.kind() == Expr::Kind::GreaterThan) {
        // The usual condition yields its truth without becoming a value.
        return with_operands(w, e, kRecursionLevels - 1,
                             [&](const Value& l, const Value& r) { return comparison(e, l, r); });
    }
    if (leaf_count(&cond) != 0) w.meter.step();  // no node of its own counts it
    Operand slot;
    const Value& v = operand_value(w, e, slot, kRecursionLevels);
    if (!v.is_boolean()) raise(failures::kCondition);
    return v.as_boolean();
}

// One of an `if`'s lists by its condition's truth. A branch, not a
// conditional move: the processor then predicts the list and reads its
// statements while the condition is still being evaluated, where a move
// would make those reads wait for the condition.
inline const StatementList& list_for(const Statement::If& n, bool holds) noexcept {
    if (holds) {
        asm volatile("");  // an arm the compiler cannot turn into a move
        return n.then;
    }
    return n.otherwise;
}

// The list an `if` runs: its then-list when its condition holds, else its
// otherwise-list.
template <class Meter>
const StatementList& chosen_list(Walk<Meter>& w, const Statement::If& n) {
    if constexpr (std::is_same_v<Meter, Metered>) {
        bool holds = false;
        if (walked_prepaid(w, n.nodes, n.cond, [&](Walk<Prepaid>& p) { holds = condition_truth(p, n.cond); })) {
            return list_for(n, holds);
        }
    }
    w.meter.statement();
    return list_for(n, condition_truth(w, n.cond));
}

// Flattened: the store's binding, called from here and from the limits'
// path, would otherwise stay a call of its own.
template <class Meter>
[[gnu::flatten]] void run_let(Walk<Meter>& w, const Statement::Let& let) {
    ValueRef value;
    if constexpr (std::is_same_v<Meter, Metered>) {
        walked_prepaid(w, let.nodes, let.expr, [&](Walk<Prepaid>& p) { value = evaluate(p, let.expr.node()); });
    }
    if (!value) {
        w.meter.statement();
        value = evaluate(w, let.expr.node());
    }
    w.meter.name(let.id);
    // The replaced value, if any, is released here: after the store's lock
    // is gone.
    std::optional<ValueRef> previous = Meter::bind(w.machine, let, std::move(value));
}

struct Frame {
    const Statement* next;  // the next statement of the list to run
    const Statement* end;   // one past the list's last statement
};

// Where a run is, kept as it goes: only a failure reads it, for its place
// (place_of), so a run that succeeds spends nothing more on places.
struct Trail {
    std::size_t index = 0;              // of the run's statement being run
    unsigned followed = 0;              // one-statement lists followed from it
    std::uint64_t otherwise_turns = 0;  // bit i < followed: the i-th of those is an otherwise-list
    const Statement* handed_by = nullptr;       // the `if` whose chosen list the frames run
    detail::WorkStack<Frame, 16> frames;        // lists of several statements, innermost on top
};

// The place of the statement `trail` was at. Each frame runs the then- or
// the otherwise-list of the `if` its outer frame (or, for the outermost,
// `handed_by`) ran last; the two are different lists, so `end` tells which.
// Empties the frames. May throw std::bad_alloc, which then goes out instead
// of the failure.
Place place_of(Trail& trail) {
    std::vector<Frame> chain(trail.frames.size());
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) *it = trail.frames.take();
    Place place;
    place.reserve(1 + trail.followed + chain.size());
    place.push_back(PlaceStep{PlaceStep::List::Run, trail.index});
    for (unsigned i = 0; i < trail.followed; ++i) {
        const bool otherwise = (trail.otherwise_turns >> i) & 1;
        place.push_back(PlaceStep{otherwise ? PlaceStep::List::Otherwise : PlaceStep::List::Then, 0});
    }
    const Statement* parent = trail.handed_by;
    for (const Frame& f : chain) {
        // Only a list that is not empty gets a frame.
        const auto& n = *parent->get_if<Statement::If>();
        const bool then = !n.then.empty() && f.end == n.then.data() + n.then.size();
        const Statement* list = then ? n.then.data() : n.otherwise.data();
        const Statement* ran = f.next - 1;
        place.push_back(PlaceStep{then ? PlaceStep::List::Then : PlaceStep::List::Otherwise,
                                  static_cast<std::size_t>(ran - list)});
        parent = ran;
    }
    return place;
}

// Runs `list`, the list `trail.handed_by` chose, from frames.
template <class Meter>
void run_lists(Walk<Meter>& w, Trail& trail, const StatementList& list) {
    auto& frames = trail.frames;
    frames.emplace(Frame{list.data(), list.data() + list.size()});
    while (!frames.empty()) {
        Frame& f = frames.top();
        if (f.next == f.end) {
            frames.pop();
            continue;
        }
        const Statement& s = *f.next++;
        w.meter.tick();
        if (const auto* let = s.get_if<Statement::Let>()) {
            run_let(w, *let);
            continue;
        }
        const StatementList& chosen = chosen_list(w, *s.get_if<Statement::If>());
        if (!chosen.empty()) frames.emplace(Frame{chosen.data(), chosen.data() + chosen.size()});
    }
}

// Levels of one-statement lists a statement's run follows before it hands
// the rest to run_lists: one bit each in a word says which list.
constexpr unsigned kFollowedLevels = 64;

// In line: the loop of the run's statements stays one function.
template <class Meter>
[[gnu::always_inline]] inline void run_one(Walk<Meter>& w, Trail& trail, const Statement& statement) {
    // One statement, and a chosen list of one, need no frame: the loop
    // follows them until a list of several statements needs the frames.
    trail.followed = 0;
    const Statement* s = &statement;
    for (;;) {
        if (const auto* let = s->get_if<Statement::Let>()) return run_let(w, *let);
        const auto& n = *s->get_if<Statement::If>();
        const StatementList& chosen = chosen_list(w, n);
        if (chosen.empty()) return;
        if (chosen.size() > 1 || trail.followed == kFollowedLevels) {
            trail.handed_by = s;
            return run_lists(w, trail, chosen);
        }
        // The bit is set or cleared: the bits past `followed` are stale.
        const std::uint64_t bit = std::uint64_t{1} << trail.followed;
        trail.otherwise_turns = &chosen == &n.otherwise ? trail.otherwise_turns | bit : trail.otherwise_turns & ~bit;
        if (++trail.followed % kTickLevels == 0) w.meter.tick();
        s = chosen.data();
    }
}

// The one way into a walk: `walk` is given the machine with the meter its
// limits call for, counting toward `poll`.
template <class Walked>
decltype(auto) with_meter(const Machine& machine, Poll poll, Walked&& walk) {
    if (machine.limits().any()) {
        Walk<Metered> w{machine, Metered(machine.limits(), poll)};
        return walk(w);
    }
    Walk<Unmetered> w{machine, Unmetered(machine.limits(), poll)};
    return walk(w);
}

// The one way into a run: the statements `at(0)` to `at(count - 1)` in
// order, as one run; a failure leaves with its place.
template <class At>
void run_statements(const Machine& machine, std::size_t count, At&& at, Poll poll) {
    Trail trail;
    try {
        with_meter(machine, poll, [&](auto& w) {
            for (; trail.index < count; ++trail.index) {
                w.meter.tick();
                run_one(w, trail, at(trail.index));
            }
        });
    } catch (EvalError& failure) {
        failure.place() = place_of(trail);
        throw;
    }
}

}  // namespace

ValueRef evaluate(const Machine& machine, const Expr& expr, Poll poll) {
    return with_meter(machine, poll, [&](auto& w) { return evaluate(w, expr.node()); });
}

void run(const Machine& machine, const Statement& statement, Poll poll) {
    run_statements(machine, 1, [&](std::size_t) -> const Statement& { return statement; }, poll);
}

void run(const Machine& machine, std::span<const Statement> statements, Poll poll) {
    run_statements(machine, statements.size(), [&](std::size_t i) -> const Statement& { return statements[i]; }, poll);
}

void run(const Machine& machine, const void* items, std::size_t count, StatementAt at, Poll poll) {
    run_statements(machine, count, [&](std::size_t i) -> const Statement& { return at(items, i); }, poll);
}

void run(const Machine& machine, StatementList&& statements, Poll poll) {
    const StatementList owned = std::move(statements);
    run(machine, std::span<const Statement>(owned), poll);
}

}  // namespace velk
