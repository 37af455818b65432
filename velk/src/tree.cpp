// Building, deep copy and release of syntax trees.
//
// Release is the subtle part. Dropping the last handle to a node releases
// the node's operands before its own storage, in field order, depth first,
// but an operand that another tree still holds only loses one reference.
// A tree may be nested as deeply as memory allows, so neither walk recurses
// and neither allocates: an expression node that still has operands to
// release waits on a chain linked through its first operand slot (emptied by
// then), and an `if` statement waits on a chain linked through a field kept
// for that purpose, with a count of the statements of its lists that are
// done. Deep copies run on explicit work stacks.
#include <new>

#include "velk/tree.hpp"
#include "work_stack.hpp"

namespace velk {

// ---------------------------------------------------------------- Expr

void Expr::Node::destroy(Node* node) noexcept {
    switch (node->kind_) {
        case Kind::Literal: delete static_cast<Holder<Literal>*>(node); return;
        case Kind::Ident: delete static_cast<Holder<Ident>*>(node); return;
        case Kind::BinaryOp: delete static_cast<Holder<BinaryOp>*>(node); return;
        case Kind::Equals: delete static_cast<Holder<Equals>*>(node); return;
        case Kind::Not: delete static_cast<Holder<Not>*>(node); return;
        case Kind::GreaterThan: delete static_cast<Holder<GreaterThan>*>(node); return;
        case Kind::LessThan: delete static_cast<Holder<LessThan>*>(node); return;
    }
}

void Expr::release() noexcept {
    if (node_ == nullptr || !node_->refs_.drop()) return;
    Node* cur = std::exchange(node_, nullptr);
    Node* chain = nullptr;  // nodes waiting for their later operands, linked through their first slot
    while (cur != nullptr) {
        Node* next = nullptr;  // an operand of `cur` that was its last reference and has operands
        for (Expr* slot : {cur->first_slot(), cur->second_slot()}) {
            if (slot == nullptr || slot->node_ == nullptr) continue;
            Node* child = std::exchange(slot->node_, nullptr);
            if (!child->refs_.drop()) continue;
            if (child->kind() <= Kind::Ident) {
                Node::destroy(child);  // a leaf: nothing below it
                continue;
            }
            next = child;
            break;
        }
        if (next != nullptr) {
            cur->first_slot()->node_ = chain;  // empty by now, whichever operand `next` was
            chain = cur;
            cur = next;
            continue;
        }
        Node::destroy(cur);  // every operand is gone: its own storage goes now
        cur = chain;
        if (cur != nullptr) chain = std::exchange(cur->first_slot()->node_, nullptr);
    }
}

Expr::Literal::Literal(ValueRef shared) : value(std::move(shared)) {
    if (!value->copy_allocates()) in_place = *value;
}

Expr Expr::literal(Value v) {
    ValueRef shared = ValueRef::make(std::move(v));
    return Expr(Node::make(Literal{std::move(shared)}));
}

Expr Expr::ident(Identifier id) { return Expr(Node::make(Ident{std::move(id), {}})); }

Expr Expr::binary_op(Expr a, BinaryOperator o, Expr b) {
    return Expr(Node::make(BinaryOp{std::move(a), o, std::move(b)}));
}

Expr Expr::equals(Expr a, Expr b) { return Expr(Node::make(Equals{std::move(a), std::move(b)})); }

Expr Expr::not_(Expr item) { return Expr(Node::make(Not{std::move(item)})); }

Expr Expr::greater_than(Expr a, Expr b) { return Expr(Node::make(GreaterThan{std::move(a), std::move(b)})); }

Expr Expr::less_than(Expr a, Expr b) { return Expr(Node::make(LessThan{std::move(a), std::move(b)})); }

namespace {

// A node like `like` over new operands (`right` unused for `not`).
Expr composite_like(const Expr::Node& like, Expr left, Expr right) {
    switch (like.kind()) {
        case Expr::Kind::BinaryOp:
            return Expr::binary_op(std::move(left), like.get_if<Expr::BinaryOp>()->op, std::move(right));
        case Expr::Kind::Equals: return Expr::equals(std::move(left), std::move(right));
        case Expr::Kind::Not: return Expr::not_(std::move(left));
        case Expr::Kind::GreaterThan: return Expr::greater_than(std::move(left), std::move(right));
        default: return Expr::less_than(std::move(left), std::move(right));
    }
}

Expr leaf_copy(const Expr::Node& leaf) {
    if (const auto* lit = leaf.get_if<Expr::Literal>()) return Expr::literal(Value(*lit->value));
    return Expr::ident(Identifier(leaf.get_if<Expr::Ident>()->id));
}

}  // namespace

// Post-order on explicit stacks: a node is built once copies of its
// operands are, left before right.
Expr Expr::clone() const {
    struct Task {
        const Node* src;
        bool ready;  // the copies of its operands are on `built`
    };
    detail::WorkStack<Task, 32> tasks;
    detail::WorkStack<Expr, 32> built;
    tasks.emplace(Task{node_, false});
    while (!tasks.empty()) {
        const Task t = tasks.take();
        const Node& n = *t.src;
        const Node::Slots s = n.slots();
        if (s.first == nullptr) {
            built.emplace(leaf_copy(n));
            continue;
        }
        if (!t.ready) {
            tasks.emplace(Task{&n, true});
            if (s.second) tasks.emplace(Task{s.second->node_, false});
            tasks.emplace(Task{s.first->node_, false});
            continue;
        }
        Expr right = s.second ? built.take() : Expr(nullptr);
        Expr left = built.take();
        built.emplace(composite_like(n, std::move(left), std::move(right)));
    }
    return built.take();
}

// ---------------------------------------------------------------- Statement

Statement::Node::~Node() {
    if (kind_ == Kind::Let) {
        let_.~Let();
    } else {
        if_node_.~If();
    }
}

Statement Statement::let(Identifier id, Expr expr) {
    return Statement(new Node(Let{std::move(id), std::move(expr), {}, {}}));
}

Statement Statement::if_(Expr cond, StatementList then, StatementList otherwise) {
    return Statement(new Node(If{std::move(cond), std::move(then), std::move(otherwise), {}}));
}

void Statement::release() noexcept {
    if (node_ == nullptr || !node_->refs_.drop()) return;
    // An `if` gives up its condition as soon as it is found unreferenced,
    // before any statement of its lists.
    auto enter = [](Node* n) {
        if (n->kind_ == Kind::If) Expr gone = std::move(n->if_node_.cond);
        return n;
    };
    Node* cur = enter(std::exchange(node_, nullptr));
    while (cur != nullptr) {
        Node* next = nullptr;  // a statement of `cur`'s lists that was its last reference and nests more
        if (cur->kind_ == Kind::If) {
            If& n = cur->if_node_;
            const std::size_t total = n.then.size() + n.otherwise.size();
            while (next == nullptr && cur->released_ < total) {
                const std::size_t i = cur->released_++;
                Statement& s = i < n.then.size() ? n.then[i] : n.otherwise[i - n.then.size()];
                Node* child = std::exchange(s.node_, nullptr);
                if (child == nullptr || !child->refs_.drop()) continue;
                if (child->kind_ == Kind::Let) {
                    delete child;  // its expression's release needs no walk of ours
                    continue;
                }
                next = child;
            }
        }
        if (next != nullptr) {
            next->releasing_parent_ = cur;
            cur = enter(next);
            continue;
        }
        Node* parent = cur->releasing_parent_;
        delete cur;
        cur = parent;
    }
}

// Explicit stacks again: a frame per `if` being copied, its copied
// condition and the lists filled so far.
Statement Statement::clone() const {
    if (const Let* let = get_if<Let>()) return Statement::let(Identifier(let->id), let->expr.clone());
    struct Frame {
        const If* src;
        Expr cond;
        StatementList then;
        StatementList otherwise;
        std::size_t next;  // statements of src's two lists copied so far
    };
    auto open = [](const If& src) {
        Frame f{&src, src.cond.clone(), {}, {}, 0};
        f.then.reserve(src.then.size());
        f.otherwise.reserve(src.otherwise.size());
        return f;
    };
    detail::WorkStack<Frame, 8> frames;
    frames.emplace(open(*get_if<If>()));
    for (;;) {
        Frame& f = frames.top();
        const std::size_t then_size = f.src->then.size();
        if (f.next == then_size + f.src->otherwise.size()) {
            Statement done = Statement::if_(std::move(f.cond), std::move(f.then), std::move(f.otherwise));
            frames.pop();
            if (frames.empty()) return done;
            Frame& parent = frames.top();
            // The parent's counter already stands past this statement.
            (parent.next - 1 < parent.src->then.size() ? parent.then : parent.otherwise).push_back(std::move(done));
            continue;
        }
        const std::size_t i = f.next++;
        const bool in_then = i < then_size;
        const Statement& s = in_then ? f.src->then[i] : f.src->otherwise[i - then_size];
        if (const Let* let = s.get_if<Let>()) {
            (in_then ? f.then : f.otherwise).push_back(Statement::let(Identifier(let->id), let->expr.clone()));
            continue;
        }
        // `f` may move when the stack grows; it is not used past this point.
        frames.emplace(open(*s.get_if<If>()));
    }
}

StatementList clone_list(const StatementList& list) {
    StatementList out;
    out.reserve(list.size());
    for (const Statement& s : list) out.push_back(s.clone());
    return out;
}

}  // namespace velk
