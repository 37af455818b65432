// Evaluation of expressions and execution of statements.
//
// Both consume the trees they are given. Expressions are walked recursively
// for a few dozen levels and with explicit work stacks below, statement
// lists always with a work stack: no depth of nesting can exhaust the native
// stack.
#pragma once

#include "velk/machine.hpp"
#include "velk/tree.hpp"
#include "velk/value.hpp"

namespace velk {

// The value of `expr` on `machine`. Reads variables, changes nothing.
// Throws EvalError.
ValueRef deduce_expr(const Machine& machine, Expr expr);

// Runs `statements` in order. The first failure abandons the rest; the
// bindings made before it stay. Throws EvalError.
void deduce(const Machine& machine, StatementList statements);

}  // namespace velk
