#include "reference_model.hpp"

#include <bit>
#include <cmath>
#include <limits>

#include "velk/debug_text.hpp"
#include "failures.hpp"

namespace velk::fuzz {

namespace {

// A failure of the model's run, carrying the language's message.
struct ModelFailure {
    std::string message;
    std::optional<Identifier> missing;  // set for a failed lookup
};
// A text grew past kMaxTextBytes.
struct ModelTooLarge {};

[[noreturn]] void fail(const Failure& failure) { throw ModelFailure{failure.message, std::nullopt}; }

double as_double(const Number& n) noexcept {
    return n.is_int() ? static_cast<double>(n.as_int()) : n.as_float();
}

// IEEE 754 totalOrder as an unsigned key: negatives (sign set) are
// complemented so larger magnitudes sort lower; positives get the top bit
// so they sort above every negative.
std::uint64_t total_order(double x) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(x);
    constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
    return bits & kSign ? ~bits : bits | kSign;
}

// -1, 0, 1 as l sorts before, with or after r.
int order(const Number& l, const Number& r) noexcept {
    if (l.is_int() && r.is_int()) return (l.as_int() > r.as_int()) - (l.as_int() < r.as_int());
    const std::uint64_t a = total_order(as_double(l));
    const std::uint64_t b = total_order(as_double(r));
    return (a > b) - (a < b);
}

bool equal(const Value& a, const Value& b) noexcept {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case Value::Kind::Null: return true;
        case Value::Kind::Boolean: return a.as_boolean() == b.as_boolean();
        case Value::Kind::String: return a.as_string() == b.as_string();
        case Value::Kind::Number: break;
    }
    const Number& x = a.as_number();
    const Number& y = b.as_number();
    if (x.is_int() != y.is_int()) return false;  // no conversion in equality
    return x.is_int() ? x.as_int() == y.as_int() : x.as_float() == y.as_float();
}

}  // namespace

bool same_value(const Value& a, const Value& b) noexcept {
    if (a.kind() != b.kind()) return false;
    if (!a.is_number()) return equal(a, b);
    const Number& x = a.as_number();
    const Number& y = b.as_number();
    if (x.kind() != y.kind()) return false;
    return x.is_int() ? x.as_int() == y.as_int()
                      : std::bit_cast<std::uint64_t>(x.as_float()) == std::bit_cast<std::uint64_t>(y.as_float());
}

ReferenceModel::Key ReferenceModel::key_of(const Identifier& id) {
    return id.is_u() ? Key{false, std::to_string(id.as_u())} : Key{true, std::string(id.as_s())};
}

const Value* ReferenceModel::find(const Identifier& id) const {
    const auto it = vars_.find(key_of(id));
    return it == vars_.end() ? nullptr : &it->second.second;
}

ReferenceModel::Outcome ReferenceModel::run(const StatementList& program) {
    try {
        exec(program);
    } catch (const ModelFailure& f) {
        return {Outcome::Kind::Failed, f.message, f.missing};
    } catch (const ModelTooLarge&) {
        return {Outcome::Kind::TooLarge, {}, std::nullopt};
    }
    return {Outcome::Kind::Completed, {}, std::nullopt};
}

void ReferenceModel::exec(const StatementList& list) {
    for (const Statement& s : list) {
        if (const auto* let = s.get_if<Statement::Let>()) {
            Value v = eval(let->expr);  // before the binding: x = x + 1 reads the old x
            auto [it, fresh] = vars_.try_emplace(key_of(let->id), let->id, Value());
            it->second.second = std::move(v);
            continue;
        }
        const auto& n = *s.get_if<Statement::If>();
        const Value cond = eval(n.cond);
        if (!cond.is_boolean()) fail(failures::kCondition);
        exec(cond.as_boolean() ? n.then : n.otherwise);
    }
}

Value ReferenceModel::arithmetic(BinaryOperator op, const Number& l, const Number& r) {
    if (l.is_int() && r.is_int()) {
        const std::int64_t a = l.as_int();
        const std::int64_t b = r.as_int();
        const auto ua = static_cast<std::uint64_t>(a);
        const auto ub = static_cast<std::uint64_t>(b);
        std::int64_t result = 0;
        switch (op) {
            case BinaryOperator::Add: result = static_cast<std::int64_t>(ua + ub); break;
            case BinaryOperator::Sub: result = static_cast<std::int64_t>(ua - ub); break;
            case BinaryOperator::Mul: result = static_cast<std::int64_t>(ua * ub); break;
            case BinaryOperator::Div:
                if (b == 0) fail(failures::kDivideByZero);
                if (a == std::numeric_limits<std::int64_t>::min() && b == -1) fail(failures::kDivideOverflow);
                result = a / b;
                break;
        }
        return Value::number(Number::from_int(result));
    }
    const double a = as_double(l);
    const double b = as_double(r);
    if (std::isnan(a) && std::isnan(b) && std::bit_cast<std::uint64_t>(a) != std::bit_cast<std::uint64_t>(b)) {
        uncertain_ = true;
    }
    double result = 0;
    switch (op) {
        case BinaryOperator::Add: result = a + b; break;
        case BinaryOperator::Sub: result = a - b; break;
        case BinaryOperator::Mul: result = a * b; break;
        case BinaryOperator::Div: result = a / b; break;
    }
    return Value::number(Number::from_float(result));
}

Value ReferenceModel::ordered(const Expr& left, const Expr& right, bool greater) {
    const Value l = eval(left);
    const Value r = eval(right);
    if (!l.is_number() || !r.is_number()) fail(greater ? failures::kGreaterThanOperands : failures::kLessThanOperands);
    const int o = order(l.as_number(), r.as_number());
    return Value::boolean(greater ? o > 0 : o < 0);
}

Value ReferenceModel::eval(const Expr& e) {
    // Operands are evaluated left then right, completely, before any check.
    switch (e.kind()) {
        case Expr::Kind::Literal: return *e.get_if<Expr::Literal>()->value;
        case Expr::Kind::Ident: {
            const Identifier& id = e.get_if<Expr::Ident>()->id;
            if (const Value* v = find(id)) return *v;
            throw ModelFailure{failures::kNotFound.message + debug_text(id), id};
        }
        case Expr::Kind::BinaryOp: {
            const auto& n = *e.get_if<Expr::BinaryOp>();
            const Value l = eval(n.left);
            const Value r = eval(n.right);
            if (l.is_string() && r.is_string()) {
                if (n.op != BinaryOperator::Add) fail(failures::kStringOperator);
                if (l.as_string().size() + r.as_string().size() > kMaxTextBytes) throw ModelTooLarge{};
                return Value::string(std::string(l.as_string()) + std::string(r.as_string()));
            }
            if (l.is_number() && r.is_number()) return arithmetic(n.op, l.as_number(), r.as_number());
            fail(failures::kOperandKinds);
        }
        case Expr::Kind::Equals: {
            const auto& n = *e.get_if<Expr::Equals>();
            const Value l = eval(n.left);
            return Value::boolean(equal(l, eval(n.right)));
        }
        case Expr::Kind::Not: {
            const Value v = eval(e.get_if<Expr::Not>()->item);
            if (!v.is_boolean()) fail(failures::kNotOperand);
            return Value::boolean(!v.as_boolean());  // this core negates
        }
        case Expr::Kind::GreaterThan: {
            const auto& n = *e.get_if<Expr::GreaterThan>();
            return ordered(n.left, n.right, true);
        }
        case Expr::Kind::LessThan: {
            const auto& n = *e.get_if<Expr::LessThan>();
            return ordered(n.left, n.right, false);
        }
    }
    return Value();
}

}  // namespace velk::fuzz
