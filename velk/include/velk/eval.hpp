// Evaluation of expressions and execution of statements.
//
// Both read the trees they are given where they lie and change nothing in
// them: a tree may run any number of times, on several machines and threads
// at once. No depth of nesting can exhaust the native stack.
#pragma once

#include <cstddef>
#include <span>

#include "velk/machine.hpp"
#include "velk/tree.hpp"
#include "velk/value.hpp"

namespace velk {

// The value of `expr` on `machine`. Reads variables, changes nothing.
// Throws EvalError.
ValueRef evaluate(const Machine& machine, const Expr& expr);

// Runs `statements` in order. The first failure abandons the rest; the
// bindings made before it stay. Throws EvalError.
void run(const Machine& machine, std::span<const Statement> statements);
void run(const Machine& machine, const Statement& statement);

// Runs, as one run (one count of steps under max_steps), the statements
// `at(items, 0)` to `at(items, count - 1)` in order: statements that are not
// laid out in one array, such as those of a Python list.
using StatementAt = const Statement& (*)(const void* items, std::size_t index);
void run(const Machine& machine, const void* items, std::size_t count, StatementAt at);

// The same for a list handed over: it is dropped once it has run, failed
// or not.
void run(const Machine& machine, StatementList&& statements);

}  // namespace velk
