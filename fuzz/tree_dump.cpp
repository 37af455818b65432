#include "tree_dump.hpp"

#include <bit>
#include <cstdint>

namespace velk::fuzz {

namespace {

void put_text(std::string& out, std::string_view s) {
    out += std::to_string(s.size());
    out += ':';
    out += s;
}

void put_value(std::string& out, const Value& v) {
    switch (v.kind()) {
        case Value::Kind::Null: out += 'N'; return;
        case Value::Kind::Boolean: out += v.as_boolean() ? 'T' : 'F'; return;
        case Value::Kind::String: out += 'S'; put_text(out, v.as_string()); return;
        case Value::Kind::Number: break;
    }
    const Number& n = v.as_number();
    if (n.is_int()) {
        out += 'I';
        out += std::to_string(n.as_int());
    } else {
        out += 'D';
        out += std::to_string(std::bit_cast<std::uint64_t>(n.as_float()));
    }
    out += ';';
}

void put_ident(std::string& out, const Identifier& id) {
    if (id.is_u()) {
        out += 'u';
        out += std::to_string(id.as_u());
        out += ';';
    } else {
        out += 's';
        put_text(out, id.as_s());
    }
}

void put_expr(std::string& out, const Expr& e);

void put_pair(std::string& out, char tag, const Expr& l, const Expr& r) {
    out += tag;
    put_expr(out, l);
    put_expr(out, r);
}

void put_expr(std::string& out, const Expr& e) {
    switch (e.kind()) {
        case Expr::Kind::Literal: out += 'L'; put_value(out, *e.get_if<Expr::Literal>()->value); return;
        case Expr::Kind::Ident: out += 'V'; put_ident(out, e.get_if<Expr::Ident>()->id); return;
        case Expr::Kind::BinaryOp: {
            const auto& b = *e.get_if<Expr::BinaryOp>();
            out += "+-*/"[static_cast<int>(b.op)];
            put_expr(out, b.left);
            put_expr(out, b.right);
            return;
        }
        case Expr::Kind::Equals: {
            const auto& p = *e.get_if<Expr::Equals>();
            put_pair(out, '=', p.left, p.right);
            return;
        }
        case Expr::Kind::Not: out += '!'; put_expr(out, e.get_if<Expr::Not>()->item); return;
        case Expr::Kind::GreaterThan: {
            const auto& p = *e.get_if<Expr::GreaterThan>();
            put_pair(out, '>', p.left, p.right);
            return;
        }
        case Expr::Kind::LessThan: {
            const auto& p = *e.get_if<Expr::LessThan>();
            put_pair(out, '<', p.left, p.right);
            return;
        }
    }
}

void put_list(std::string& out, const StatementList& list) {
    out += '[';
    for (const Statement& s : list) {
        if (const auto* let = s.get_if<Statement::Let>()) {
            out += "let ";
            put_ident(out, let->id);
            put_expr(out, let->expr);
        } else {
            const auto& i = *s.get_if<Statement::If>();
            out += "if ";
            put_expr(out, i.cond);
            put_list(out, i.then);
            put_list(out, i.otherwise);
        }
        out += ',';
    }
    out += ']';
}

}  // namespace

std::string dump(const StatementList& list) {
    std::string out;
    put_list(out, list);
    return out;
}

}  // namespace velk::fuzz
