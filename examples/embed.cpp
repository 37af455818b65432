// Embedding the core directly, without Python: build a program as a tree,
// run it on a machine, read variables back, see a failure and what it
// leaves, and run programs from two threads on one machine.
//
// Built with the tests (target `embed`); its output is checked against
// embed.expected by ctest.
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>

#include "velk/debug_text.hpp"
#include "velk/eval.hpp"
#include "velk/eval_error.hpp"

using velk::BinaryOperator;
using velk::Expr;
using velk::Identifier;
using velk::Machine;
using velk::Number;
using velk::Statement;
using velk::StatementList;
using velk::Value;

namespace {

Expr integer(std::int64_t i) { return Expr::literal(Value::number(Number::from_int(i))); }
Expr var(const char* name) { return Expr::ident(Identifier::s(name)); }

// Statements are handles to shared, immutable trees: a list holds them
// without copying any tree.
template <class... S>
StatementList list(S... statements) {
    StatementList out;
    (out.push_back(std::move(statements)), ...);
    return out;
}

void show(const Machine& machine, const char* name) {
    velk::ValueRef value = machine.get(Identifier::s(name));
    std::printf("%s = %s\n", name, velk::debug_text(*value).c_str());
}

}  // namespace

int main() {
    Machine machine;

    // price = 120; if price > 100 { discount = price / 10 } else { discount = 0 }
    // total = price - discount
    velk::run(machine,
              list(Statement::let(Identifier::s("price"), integer(120)),
                   Statement::if_(Expr::greater_than(var("price"), integer(100)),
                                  list(Statement::let(Identifier::s("discount"),
                                                      Expr::binary_op(var("price"), BinaryOperator::Div,
                                                                      integer(10)))),
                                  list(Statement::let(Identifier::s("discount"), integer(0)))),
                   Statement::let(Identifier::s("total"),
                                  Expr::binary_op(var("price"), BinaryOperator::Sub, var("discount")))));
    show(machine, "discount");
    show(machine, "total");

    // A failure is an EvalError carrying the message Python sees; the
    // statements before it keep their effects.
    try {
        velk::run(machine, list(Statement::let(Identifier::s("ok"), Expr::literal(Value::boolean(true))),
                                Statement::let(Identifier::s("ratio"),
                                               Expr::binary_op(var("total"), BinaryOperator::Div, integer(0)))));
    } catch (const velk::EvalError& e) {
        std::printf("failed: %s\n", e.message().c_str());
    }
    show(machine, "ok");
    try {
        machine.get(Identifier::s("ratio"));
    } catch (const velk::EvalError& e) {
        std::printf("failed: %s\n", e.message().c_str());
    }

    // The machine is safe to share between threads: each one binds its own
    // variables here, 1000 times over.
    auto worker = [&machine](std::uint32_t id) {
        for (int i = 0; i < 1000; ++i) {
            velk::run(machine, list(Statement::let(Identifier::u(id), Expr::binary_op(integer(i), BinaryOperator::Add,
                                                                                       integer(id)))));
        }
    };
    std::thread a(worker, 1);
    std::thread b(worker, 2);
    a.join();
    b.join();
    std::printf("U(1) = %s, U(2) = %s\n", velk::debug_text(*machine.get(Identifier::u(1))).c_str(),
                velk::debug_text(*machine.get(Identifier::u(2))).c_str());
    return 0;
}
