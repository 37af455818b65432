// Short builders for core tests: trees read almost like the programs.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "velk/debug_text.hpp"
#include "velk/tree.hpp"

namespace velk::test {

inline Expr lit_int(std::int64_t i) { return Expr::literal(Value::number(Number::from_int(i))); }
inline Expr lit_float(double f) { return Expr::literal(Value::number(Number::from_float(f))); }
inline Expr lit_str(std::string s) { return Expr::literal(Value::string(std::move(s))); }
inline Expr lit_bool(bool b) { return Expr::literal(Value::boolean(b)); }
inline Expr lit_null() { return Expr::literal(Value::null()); }
inline Expr var(std::string name) { return Expr::ident(Identifier::s(std::move(name))); }
inline Expr var_u(std::uint32_t n) { return Expr::ident(Identifier::u(n)); }
inline Expr add(Expr a, Expr b) { return Expr::binary_op(std::move(a), BinaryOperator::Add, std::move(b)); }
inline Expr sub(Expr a, Expr b) { return Expr::binary_op(std::move(a), BinaryOperator::Sub, std::move(b)); }
inline Expr mul(Expr a, Expr b) { return Expr::binary_op(std::move(a), BinaryOperator::Mul, std::move(b)); }
inline Expr div(Expr a, Expr b) { return Expr::binary_op(std::move(a), BinaryOperator::Div, std::move(b)); }

inline Statement let(std::string name, Expr e) { return Statement::let(Identifier::s(std::move(name)), std::move(e)); }

template <class... S>
StatementList list(S&&... s) {
    StatementList l;
    (l.push_back(std::forward<S>(s)), ...);
    return l;
}

// Runs `body` on a thread whose whole native stack is `stack_bytes`: deep
// trees must be handled without using the stack per level. Returns false
// when the thread could not be started.
template <class F>
bool run_on_small_stack(std::size_t stack_bytes, F body) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    if (pthread_attr_setstacksize(&attr, stack_bytes) != 0) return false;
    pthread_t thread;
    auto trampoline = [](void* p) -> void* {
        (*static_cast<F*>(p))();
        return nullptr;
    };
    const bool started = pthread_create(&thread, &attr, trampoline, &body) == 0;
    pthread_attr_destroy(&attr);
    if (started) pthread_join(thread, nullptr);
    return started;
}

inline constexpr std::size_t kSmallStack = 256 * 1024;

// A readable dump of a small tree (recursive: for shallow test trees only).
inline std::string show(const Expr& e) {
    static const char* const ops[] = {"+", "-", "*", "/"};
    switch (e.kind()) {
        case Expr::Kind::Literal: return debug_text(*e.get_if<Expr::Literal>()->value);
        case Expr::Kind::Ident: return debug_text(e.get_if<Expr::Ident>()->id);
        case Expr::Kind::BinaryOp: {
            const auto& n = *e.get_if<Expr::BinaryOp>();
            return "(" + show(n.left) + " " + ops[static_cast<int>(n.op)] + " " + show(n.right) + ")";
        }
        case Expr::Kind::Equals: {
            const auto& n = *e.get_if<Expr::Equals>();
            return "(" + show(n.left) + " == " + show(n.right) + ")";
        }
        case Expr::Kind::Not: return "!" + show(e.get_if<Expr::Not>()->item);
        case Expr::Kind::GreaterThan: {
            const auto& n = *e.get_if<Expr::GreaterThan>();
            return "(" + show(n.left) + " > " + show(n.right) + ")";
        }
        case Expr::Kind::LessThan: {
            const auto& n = *e.get_if<Expr::LessThan>();
            return "(" + show(n.left) + " < " + show(n.right) + ")";
        }
    }
    return "?";
}

inline std::string show(const StatementList& l);

inline std::string show(const Statement& s) {
    if (const auto* let = s.get_if<Statement::Let>()) {
        return "let " + debug_text(let->id) + " = " + show(let->expr) + ";";
    }
    const auto& n = *s.get_if<Statement::If>();
    return "if " + show(n.cond) + " {" + show(n.then) + "} else {" + show(n.otherwise) + "}";
}

inline std::string show(const StatementList& l) {
    std::string out;
    for (const Statement& s : l) out += show(s);
    return out;
}

}  // namespace velk::test
