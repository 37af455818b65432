// Construction, deep copy and release of syntax trees.
//
// A tree may be nested as deeply as memory allows, so neither copy nor
// release recurses once per level. Release of an expression needs no memory
// at all: nodes waiting for their second operand are chained through their
// (already emptied) first operand slot. Statement lists are walked with a
// work stack whose shallow part lives on the native stack.
#include <new>

#include "velk/tree.hpp"
#include "work_stack.hpp"

namespace velk {

// ---------------------------------------------------------------- Expr

Expr::Node Expr::shallow_node(const Expr& src) {
    switch (src.kind()) {
        // Payloads are copied straight into place, not through temporaries.
        case Kind::Literal:
            return Node(std::in_place_index<0>, std::get_if<Literal>(&src.node_)->value);
        case Kind::Ident:
            return Node(std::in_place_index<1>, std::get_if<Ident>(&src.node_)->id);
        case Kind::BinaryOp:
            return Node(std::in_place_index<2>, BinaryOp{nullptr, std::get_if<BinaryOp>(&src.node_)->op, nullptr});
        case Kind::Equals:
            return Node(std::in_place_index<3>);
        case Kind::Not:
            return Node(std::in_place_index<4>);
        case Kind::GreaterThan:
            return Node(std::in_place_index<5>);
        case Kind::LessThan:
            return Node(std::in_place_index<6>);
    }
    return Node();
}

Expr::Expr(ShallowCopy, const Expr& src) : node_(shallow_node(src)) {}

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

Expr::~Expr() {
    Slots s = slots();
    if (s.first && *s.first) release_subtree(std::move(*s.first));
    if (s.second && *s.second) release_subtree(std::move(*s.second));
}

Expr& Expr::operator=(Expr&& o) noexcept {
    if (this != &o) {
        Expr old(std::move(*this));
        node_ = std::move(o.node_);
    }
    return *this;
}

Expr Expr::binary_op(Expr a, BinaryOperator o, Expr b) {
    ExprBox left = box(std::move(a));
    ExprBox right = box(std::move(b));
    return Expr(Node(std::in_place_index<2>, BinaryOp{std::move(left), o, std::move(right)}));
}

Expr Expr::equals(Expr a, Expr b) {
    ExprBox left = box(std::move(a));
    ExprBox right = box(std::move(b));
    return Expr(Node(std::in_place_index<3>, Equals{std::move(left), std::move(right)}));
}

Expr Expr::not_(Expr item) {
    return Expr(Node(std::in_place_index<4>, Not{box(std::move(item))}));
}

Expr Expr::greater_than(Expr a, Expr b) {
    ExprBox left = box(std::move(a));
    ExprBox right = box(std::move(b));
    return Expr(Node(std::in_place_index<5>, GreaterThan{std::move(left), std::move(right)}));
}

Expr Expr::less_than(Expr a, Expr b) {
    ExprBox left = box(std::move(a));
    ExprBox right = box(std::move(b));
    return Expr(Node(std::in_place_index<6>, LessThan{std::move(left), std::move(right)}));
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
    if (auto* n = std::get_if<Statement::If>(&s.node())) {
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

// True when no statement of `list` is an `if`: the list then nests no
// further and ordinary destruction releases it in order.
bool flat(const StatementList& list) noexcept {
    for (const Statement& s : list) {
        if (s.kind() == Statement::Kind::If) return false;
    }
    return true;
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
            const auto& n = *std::get_if<Statement::If>(&s.node());
            p.dst->push_back(Statement::if_(n.cond.clone(), {}, {}));
        }
        // Queue nested lists in reverse so the first `if`'s then-list comes
        // out of the stack first.
        for (std::size_t i = p.src->size(); i-- > 0;) {
            const auto* n = std::get_if<Statement::If>(&(*p.src)[i].node());
            if (!n) continue;
            auto& d = *std::get_if<Statement::If>(&(*p.dst)[i].node());
            work.emplace(Pending{&n->otherwise, &d.otherwise});
            work.emplace(Pending{&n->then, &d.then});
        }
    }
}

}  // namespace

Statement::~Statement() {
    if (auto* n = std::get_if<If>(&node_)) {
        { Expr cond = std::move(n->cond); }
        if (flat(n->then) && flat(n->otherwise)) {
            { StatementList then = std::move(n->then); }
            { StatementList otherwise = std::move(n->otherwise); }
            return;
        }
        release_lists(std::move(n->then), std::move(n->otherwise));
    }
}

Statement& Statement::operator=(Statement&& o) noexcept {
    if (this != &o) {
        Statement old(std::move(*this));
        node_ = std::move(o.node_);
    }
    return *this;
}

void release_list(StatementList&& list) noexcept {
    if (flat(list)) {
        StatementList gone = std::move(list);
        return;
    }
    release_lists(std::move(list), StatementList());
}

void Statement::copy_list(const StatementList& src, StatementList& dst, int levels) {
    if (levels == 0) return clone_into(src, dst);
    dst.reserve(src.size());
    for (const Statement& s : src) dst.push_back(copy(s, levels - 1));
}

Statement Statement::copy(const Statement& src, int levels) {
    if (const auto* let = std::get_if<Let>(&src.node_)) return Statement(*let);
    const auto& n = *std::get_if<If>(&src.node_);
    Statement result = Statement::if_(n.cond.clone(), {}, {});
    auto& d = *std::get_if<If>(&result.node_);
    copy_list(n.then, d.then, levels);
    copy_list(n.otherwise, d.otherwise, levels);
    return result;
}

Statement Statement::clone() const { return copy(*this, kRecursiveLevels); }

StatementList clone_list(const StatementList& list) {
    StatementList out;
    Statement::copy_list(list, out, kRecursiveLevels);
    return out;
}

}  // namespace velk
