// Short names of the core's operations, kept for C++ callers used to them.
// Each forwards to the descriptive name, which new code uses.
#pragma once

#include <optional>
#include <utility>

#include "velk/eval.hpp"
#include "velk/machine.hpp"
#include "velk/tree.hpp"
#include "velk/var_key.hpp"

namespace velk {

inline void deduce(const Machine& machine, StatementList statements) { run(machine, std::move(statements)); }
inline ValueRef deduce_expr(const Machine& machine, const Expr& expr) { return evaluate(machine, expr); }
inline ValueRef _get(const Machine& machine, VarKey key) { return machine.get(key); }
inline std::optional<ValueRef> _insert(const Machine& machine, VarKey key, ValueRef value) { return machine.bind(key, std::move(value)); }
inline Expr clone(const Expr& expr) { return expr.clone(); }
inline Statement clone(const Statement& statement) { return statement.clone(); }
inline StatementList clone(const StatementList& statements) { return clone_list(statements); }

}  // namespace velk
