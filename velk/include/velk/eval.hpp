// Evaluation of expressions and execution of statements.
//
// Both read the trees they are given where they lie and change nothing in
// them: a tree may run any number of times, on several machines and threads
// at once. No depth of nesting can exhaust the native stack.
#pragma once

#include <cstddef>
#include <span>

#include "velk/machine.hpp"
#include "velk/poll.hpp"
#include "velk/tree.hpp"
#include "velk/value.hpp"

namespace velk {

// Every function here calls `poll`, when given, as it goes (velk/poll.hpp)
// and passes on whatever the poll throws.

// The value of `expr` on `machine`. Reads variables, changes nothing.
// Throws EvalError.
ValueRef evaluate(const Machine& machine, const Expr& expr, Poll poll = {});

// Runs `statements` in order. The first failure abandons the rest; the
// bindings made before it stay. Throws EvalError.
void run(const Machine& machine, std::span<const Statement> statements, Poll poll = {});
void run(const Machine& machine, const Statement& statement, Poll poll = {});

// Runs, as one run (one count of steps under max_steps), the statements
// `at(items, 0)` to `at(items, count - 1)` in order: statements that are not
// laid out in one array, such as those of a Python list.
using StatementAt = const Statement& (*)(const void* items, std::size_t index);
// `at` is called once for each statement, just before it runs; what it
// gives must stay valid while that statement runs, polls included.
void run(const Machine& machine, const void* items, std::size_t count, StatementAt at, Poll poll = {});

// The same for a list handed over: it is dropped once it has run, failed
// or not.
void run(const Machine& machine, StatementList&& statements, Poll poll = {});

}  // namespace velk
