// Construction, deep copy and release of syntax trees.
//
// A tree may be nested as deeply as memory allows. Copies recurse for the
// first kRecursiveLevels levels, which covers every tree of ordinary depth
// at full speed, and continue below with explicit work stacks. Release never
// recurses and needs no memory for an expression: nodes waiting for their
// second operand are chained through their (already emptied) first operand
// slot. Statement lists are walked with a work stack whose shallow part
// lives on the native stack.
#include <new>

#include "velk/tree.hpp"
#include "work_stack.hpp"

namespace velk {

// ---------------------------------------------------------------- Expr

// Payloads are copied straight into place, not through temporaries.
Expr::Expr(ShallowCopy, const Expr& src) : kind_(src.kind_) {
    switch (src.kind_) {
        case Kind::Literal: ::new (static_cast<void*>(&literal_)) Literal{src.literal_.value}; return;
        case Kind::Ident: ::new (static_cast<void*>(&ident_)) Ident{src.ident_.id}; return;
        case Kind::BinaryOp: ::new (static_cast<void*>(&binary_)) BinaryOp{nullptr, src.binary_.op, nullptr}; return;
        case Kind::Equals: ::new (static_cast<void*>(&equals_)) Equals{}; return;
        case Kind::Not: ::new (static_cast<void*>(&negation_)) Not{}; return;
        case Kind::GreaterThan: ::new (static_cast<void*>(&greater_)) GreaterThan{}; return;
        case Kind::LessThan: ::new (static_cast<void*>(&less_)) LessThan{}; return;
    }
}

void Expr::take_payload(Expr& o) noexcept {
    switch (o.kind_) {
        case Kind::Literal: ::new (static_cast<void*>(&literal_)) Literal{std::move(o.literal_)}; return;
        case Kind::Ident: ::new (static_cast<void*>(&ident_)) Ident{std::move(o.ident_)}; return;
        case Kind::BinaryOp: ::new (static_cast<void*>(&binary_)) BinaryOp{std::move(o.binary_)}; return;
        case Kind::Equals: ::new (static_cast<void*>(&equals_)) Equals{std::move(o.equals_)}; return;
        case Kind::Not: ::new (static_cast<void*>(&negation_)) Not{std::move(o.negation_)}; return;
        case Kind::GreaterThan: ::new (static_cast<void*>(&greater_)) GreaterThan{std::move(o.greater_)}; return;
        case Kind::LessThan: ::new (static_cast<void*>(&less_)) LessThan{std::move(o.less_)}; return;
    }
}

void Expr::destroy_payload() noexcept {
    switch (kind_) {
        case Kind::Literal: literal_.~Literal(); return;
        case Kind::Ident: ident_.~Ident(); return;
        case Kind::BinaryOp: binary_.~BinaryOp(); return;
        case Kind::Equals: equals_.~Equals(); return;
        case Kind::Not: negation_.~Not(); return;
        case Kind::GreaterThan: greater_.~GreaterThan(); return;
        case Kind::LessThan: less_.~LessThan(); return;
    }
}

Expr::Expr(Expr&& o) noexcept : kind_(o.kind_) { take_payload(o); }

namespace {

ExprBox box(Expr e) { return std::make_unique<Expr>(std::move(e)); }

// Releases a whole subtree, operands in field order before their node,
// without recursion and without allocating. A node that still has operands
// to release is pushed on `chain`, linked through its first slot, which is
// always empty by the time it is used as the link.
void release_subtree(ExprBox cur) noexcept {
    ExprBox chain;
    while (cur) {
        Expr::Slots s = cur->slots();
        ExprBox* next = nullptr;
        if (s.first && *s.first) {
            next = s.first;
        } else if (s.second && *s.second) {
            next = s.second;
        }
        if (next) {
            ExprBox child = std::move(*next);
            *s.first = std::move(chain);
            chain = std::move(cur);
            cur = std::move(child);
            continue;
        }
        cur.reset();  // all operands gone: its own storage goes now
        if (chain) {
            cur = std::move(chain);
            chain = std::move(*cur->slots().first);
        }
    }
}

}  // namespace

namespace {

// Releases one operand's subtree; a leaf, the usual operand, goes at once.
void release_operand(ExprBox& operand) noexcept {
    if (!operand) return;
    if (operand->is_leaf()) {
        operand.reset();
        return;
    }
    release_subtree(std::move(operand));
}

}  // namespace

Expr::~Expr() {
    if (!is_leaf()) {
        const Slots s = slots();
        release_operand(*s.first);
        if (s.second) release_operand(*s.second);
    }
    destroy_payload();
}

Expr& Expr::operator=(Expr&& o) noexcept {
    if (this != &o) {
        // The old tree goes after the new payload is in: `o` may be part of it.
        Expr old(std::move(*this));
        destroy_payload();
        kind_ = o.kind_;
        take_payload(o);
    }
    return *this;
}

Expr Expr::binary_op(Expr a, BinaryOperator o, Expr b) {
    ExprBox left = box(std::move(a));
    ExprBox right = box(std::move(b));
    return Expr(BinaryOp{std::move(left), o, std::move(right)});
}

Expr Expr::equals(Expr a, Expr b) {
    ExprBox left = box(std::move(a));
    ExprBox right = box(std::move(b));
    return Expr(Equals{std::move(left), std::move(right)});
}

Expr Expr::not_(Expr item) {
    return Expr(Not{box(std::move(item))});
}

Expr Expr::greater_than(Expr a, Expr b) {
    ExprBox left = box(std::move(a));
    ExprBox right = box(std::move(b));
    return Expr(GreaterThan{std::move(left), std::move(right)});
}

Expr Expr::less_than(Expr a, Expr b) {
    ExprBox left = box(std::move(a));
    ExprBox right = box(std::move(b));
    return Expr(LessThan{std::move(left), std::move(right)});
}

// Levels that copies walk recursively before they continue with explicit
// work stacks: every tree of ordinary depth is copied without them, and the
// native stack used stays at a few KiB.
constexpr int kRecursiveLevels = 48;

ExprBox Expr::shallow_copy(const Expr& src) { return ExprBox(new Expr(ShallowCopy{}, src)); }

// (Source node, destination slot) pairs wait on a work stack, the right
// operand below the left so the left subtree is copied first, whole.
void Expr::copy_operands_deep(const Expr& src, Expr& dst) {
    struct Pending {
        const Expr* src;
        ExprBox* dst;
    };
    detail::WorkStack<Pending, 64> work;
    auto push_operands = [&work](const Expr& from_node, Expr& to_node) {
        Slots from = const_cast<Expr&>(from_node).slots();
        if (!from.first) return;
        Slots to = to_node.slots();
        if (from.second) work.emplace(Pending{from.second->get(), to.second});
        work.emplace(Pending{from.first->get(), to.first});
    };
    push_operands(src, dst);
    while (!work.empty()) {
        const Pending p = work.take();
        *p.dst = shallow_copy(*p.src);
        push_operands(*p.src, **p.dst);
    }
}

void Expr::copy_operands(const Expr& src, Expr& dst, int levels) {
    Slots from = const_cast<Expr&>(src).slots();
    if (!from.first) return;
    if (levels == 0) return copy_operands_deep(src, dst);
    Slots to = dst.slots();
    // The right operand is read after the whole left subtree: ask for it
    // now, so that a tree far out of cache is fetched in parallel.
    if (from.second) __builtin_prefetch(from.second->get());
    *to.first = shallow_copy(**from.first);
    copy_operands(**from.first, **to.first, levels - 1);
    if (from.second) {
        *to.second = shallow_copy(**from.second);
        copy_operands(**from.second, **to.second, levels - 1);
    }
}

Expr Expr::clone() const {
    Expr root(ShallowCopy{}, *this);
    copy_operands(*this, root, kRecursiveLevels);
    return root;
}

// ---------------------------------------------------------------- Statement

namespace {

// A list being released: its statements go one by one, in order, and the
// list's own storage goes after the last of them.
struct ReleaseFrame {
    StatementList list;  // the list being emptied
    std::size_t next;    // index of the next statement to release
};

// Moves the statement at the top of `work` out and releases it. An `if`
// hands its two lists to the work stack (otherwise-list below then-list) so
// that they are released, in that order, before the next statement.
// Returns false when the top frame is done.
template <class Stack>
bool release_step(Stack& work) {
    ReleaseFrame& f = work.top();
    if (f.next == f.list.size()) return false;
    Statement s = std::move(f.list[f.next++]);
    if (auto* n = s.get_if<Statement::If>()) {
        { Expr cond = std::move(n->cond); }
        StatementList then = std::move(n->then);
        StatementList otherwise = std::move(n->otherwise);
        if (!otherwise.empty()) work.emplace(ReleaseFrame{std::move(otherwise), 0});
        if (!then.empty()) work.emplace(ReleaseFrame{std::move(then), 0});
    }
    return true;
}

void release_lists(StatementList first, StatementList second) noexcept {
    detail::WorkStack<ReleaseFrame, 16> work;
    try {
        if (!second.empty()) work.emplace(ReleaseFrame{std::move(second), 0});
        if (!first.empty()) work.emplace(ReleaseFrame{std::move(first), 0});
        while (!work.empty()) {
            if (!release_step(work)) work.pop();
        }
    } catch (const std::bad_alloc&) {
        // No room to extend the work stack: whatever is left is released by
        // ordinary destruction, which starts a fresh walk (with a fresh
        // inline stack) for every nested list it meets.
    }
}


// Copies every statement of `src` into `dst` (empty), without recursion:
// nested lists are queued and filled in order.
void clone_into(const StatementList& src, StatementList& dst) {
    struct Pending {
        const StatementList* src;  // list to copy from
        StatementList* dst;        // empty list to fill
    };
    detail::WorkStack<Pending, 16> work;
    work.emplace(Pending{&src, &dst});
    while (!work.empty()) {
        Pending p = work.take();
        p.dst->reserve(p.src->size());
        // Nested lists are filled after this one is complete.
        for (const Statement& s : *p.src) {
            if (s.kind() == Statement::Kind::Let) {
                p.dst->push_back(s.clone());
                continue;
            }
            const auto& n = *s.get_if<Statement::If>();
            p.dst->push_back(Statement::if_(n.cond.clone(), {}, {}));
        }
        // Queue nested lists in reverse so the first `if`'s then-list comes
        // out of the stack first.
        for (std::size_t i = p.src->size(); i-- > 0;) {
            const auto* n = (*p.src)[i].get_if<Statement::If>();
            if (!n) continue;
            auto& d = *(*p.dst)[i].get_if<Statement::If>();
            work.emplace(Pending{&n->otherwise, &d.otherwise});
            work.emplace(Pending{&n->then, &d.then});
        }
    }
}

}  // namespace

Statement::~Statement() {
    // An `if` that has run has given its lists away: its condition goes with
    // the payload. Otherwise the condition goes first, then the lists.
    if (auto* n = get_if<If>(); n && !(n->then.empty() && n->otherwise.empty())) {
        { Expr cond = std::move(n->cond); }
        if (only_lets(n->then) && only_lets(n->otherwise)) {
            { StatementList then = std::move(n->then); }
            { StatementList otherwise = std::move(n->otherwise); }
        } else {
            release_lists(std::move(n->then), std::move(n->otherwise));
        }
    }
    destroy_payload();
}

Statement& Statement::operator=(Statement&& o) noexcept {
    if (this != &o) {
        // The old statement goes after the new payload is in: `o` may be part of it.
        Statement old(std::move(*this));
        destroy_payload();
        kind_ = o.kind_;
        take_payload(o);
    }
    return *this;
}

void release_list(StatementList&& list) noexcept {
    if (only_lets(list)) {
        StatementList gone = std::move(list);
        return;
    }
    release_lists(std::move(list), StatementList());
}

void Statement::copy_list(const StatementList& src, StatementList& dst, int levels) {
    if (levels == 0) return clone_into(src, dst);
    dst.reserve(src.size());
    for (const Statement& s : src) dst.emplace_back(CopyKey{}, s, levels - 1);
}

Statement::Statement(CopyKey, const Statement& src, int levels) : kind_(src.kind_) {
    if (kind_ == Kind::Let) {
        ::new (static_cast<void*>(&let_)) Let{src.let_.ident, src.let_.expr.clone()};
        return;
    }
    ::new (static_cast<void*>(&if_node_)) If{src.if_node_.cond.clone(), {}, {}};
    try {
        copy_list(src.if_node_.then, if_node_.then, levels);
        copy_list(src.if_node_.otherwise, if_node_.otherwise, levels);
    } catch (...) {
        if_node_.~If();  // no destructor runs for a constructor that throws
        throw;
    }
}

Statement Statement::clone() const { return Statement(CopyKey{}, *this, kRecursiveLevels); }

void Statement::append_copy_to(StatementList& list) const { list.emplace_back(CopyKey{}, *this, kRecursiveLevels); }

bool only_lets(const StatementList& list) noexcept {
    for (const Statement& s : list) {
        if (s.kind() != Statement::Kind::Let) return false;
    }
    return true;
}

StatementList clone_list(const StatementList& list) {
    StatementList out;
    Statement::copy_list(list, out, kRecursiveLevels);
    return out;
}

}  // namespace velk
