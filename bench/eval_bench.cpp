// Running prepared statement lists with `run`, against a plain C++
// baseline: the same trees walked recursively, variables in an unlocked
// absl::flat_hash_map of shared_ptr values. The baseline is the floor: it has
// no store locks, no atomic sharing scheme of its own and no depth safety.
#include <benchmark/benchmark.h>

#include <absl/container/flat_hash_map.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "velk/eval.hpp"

namespace {

using namespace velk;

constexpr int kStatements = 10'000;

Expr lit_int(std::int64_t i) { return Expr::literal(Value::number(Number::from_int(i))); }
Expr lit_float(double f) { return Expr::literal(Value::number(Number::from_float(f))); }
Expr var(const char* name) { return Expr::ident(Identifier::s(name)); }
Expr op(Expr a, BinaryOperator o, Expr b) { return Expr::binary_op(std::move(a), o, std::move(b)); }

// x = x + 1
Statement increment() {
    return Statement::let(Identifier::s("x"), op(var("x"), BinaryOperator::Add, lit_int(1)));
}

// y = ((a * 3) + (b / 2)) - (c * c), a and c Int, b Float
Statement mixed() {
    return Statement::let(
        Identifier::s("y"),
        op(op(op(var("a"), BinaryOperator::Mul, lit_int(3)), BinaryOperator::Add,
              op(var("b"), BinaryOperator::Div, lit_int(2))),
           BinaryOperator::Sub, op(var("c"), BinaryOperator::Mul, var("c"))));
}

// if x < 5: y = x + 1 else: y = x - 1
Statement branch() {
    StatementList then, otherwise;
    then.push_back(Statement::let(Identifier::s("y"), op(var("x"), BinaryOperator::Add, lit_int(1))));
    otherwise.push_back(Statement::let(Identifier::s("y"), op(var("x"), BinaryOperator::Sub, lit_int(1))));
    return Statement::if_(Expr::less_than(var("x"), lit_int(5)), std::move(then), std::move(otherwise));
}

StatementList program(Statement (*make)()) {
    StatementList list;
    list.reserve(kStatements);
    for (int i = 0; i < kStatements; ++i) list.push_back(make());
    return list;
}

StatementList setup() {
    StatementList list;
    list.push_back(Statement::let(Identifier::s("x"), lit_int(3)));
    list.push_back(Statement::let(Identifier::s("a"), lit_int(7)));
    list.push_back(Statement::let(Identifier::s("b"), lit_float(2.5)));
    list.push_back(Statement::let(Identifier::s("c"), lit_int(-4)));
    return list;
}

void run_velk(benchmark::State& state, Statement (*make)()) {
    Machine m;
    run(m, setup());
    for (auto _ : state) {
        state.PauseTiming();
        StatementList prog = program(make);
        state.ResumeTiming();
        run(m, std::move(prog));
    }
    state.SetItemsProcessed(state.iterations() * kStatements);
}

// ------------------------------------------------------------ the baseline

using Shared = std::shared_ptr<const Value>;
using Vars = absl::flat_hash_map<std::string, Shared>;

absl::string_view key(const Identifier& id) { return {id.as_s().data(), id.as_s().size()}; }

double as_double(const Number& n) { return n.is_int() ? static_cast<double>(n.as_int()) : n.as_float(); }

Shared eval(const Vars& vars, const Expr& e) {
    switch (e.kind()) {
        case Expr::Kind::Literal:
            return std::make_shared<const Value>(e.get_if<Expr::Literal>()->value);
        case Expr::Kind::Ident:
            return vars.find(key(e.get_if<Expr::Ident>()->id))->second;
        case Expr::Kind::BinaryOp: {
            const auto& n = *e.get_if<Expr::BinaryOp>();
            Shared l = eval(vars, *n.left), r = eval(vars, *n.right);
            const Number& a = l->as_number();
            const Number& b = r->as_number();
            if (a.is_int() && b.is_int()) {
                const auto x = static_cast<std::uint64_t>(a.as_int()), y = static_cast<std::uint64_t>(b.as_int());
                std::int64_t v = 0;
                switch (n.op) {
                    case BinaryOperator::Add: v = static_cast<std::int64_t>(x + y); break;
                    case BinaryOperator::Sub: v = static_cast<std::int64_t>(x - y); break;
                    case BinaryOperator::Mul: v = static_cast<std::int64_t>(x * y); break;
                    case BinaryOperator::Div: v = a.as_int() / b.as_int(); break;
                }
                return std::make_shared<const Value>(Value::number(Number::from_int(v)));
            }
            const double x = as_double(a), y = as_double(b);
            double v = 0;
            switch (n.op) {
                case BinaryOperator::Add: v = x + y; break;
                case BinaryOperator::Sub: v = x - y; break;
                case BinaryOperator::Mul: v = x * y; break;
                case BinaryOperator::Div: v = x / y; break;
            }
            return std::make_shared<const Value>(Value::number(Number::from_float(v)));
        }
        case Expr::Kind::LessThan: {
            const auto& n = *e.get_if<Expr::LessThan>();
            Shared l = eval(vars, *n.left), r = eval(vars, *n.right);
            return std::make_shared<const Value>(Value::boolean(as_double(l->as_number()) < as_double(r->as_number())));
        }
        default:
            throw std::logic_error("not used by these programs");
    }
}

void exec(Vars& vars, const StatementList& list) {
    for (const Statement& s : list) {
        if (const auto* let = s.get_if<Statement::Let>()) {
            Shared v = eval(vars, let->expr);
            vars[std::string(key(let->id))] = std::move(v);
        } else {
            const auto& n = *s.get_if<Statement::If>();
            exec(vars, eval(vars, n.cond)->as_boolean() ? n.then : n.otherwise);
        }
    }
}

void run_baseline(benchmark::State& state, Statement (*make)()) {
    Vars vars;
    exec(vars, setup());
    for (auto _ : state) {
        state.PauseTiming();
        StatementList prog = program(make);
        state.ResumeTiming();
        exec(vars, prog);
        StatementList gone = std::move(prog);  // the trees are released in the timed part, as run does when handed the list
    }
    state.SetItemsProcessed(state.iterations() * kStatements);
}

BENCHMARK_CAPTURE(run_velk, increment, increment)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(run_baseline, increment, increment)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(run_velk, mixed, mixed)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(run_baseline, mixed, mixed)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(run_velk, branch, branch)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(run_baseline, branch, branch)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
