// The functions of the module zarn_runtime (runtime_functions.cpp).
#pragma once

#include "py_ref.hpp"

#include <utility>
#include <vector>

#include "velk/limits.hpp"
#include "velk/value.hpp"

namespace zarn {

// The method table of zarn_runtime: set_limits, set_default_limits,
// set_fault_report, dumps and loads.
PyMethodDef* runtime_functions() noexcept;

// Makes pickle and copy take Expr and Statement objects through
// `runtime`'s dumps and loads (copyreg). False with a Python error pending.
bool register_tree_pickling(PyObject* runtime);

// The limits a new Velk gets: none until set_default_limits.
const velk::Limits& default_limits() noexcept;

// The three keyword-only limits of a call (max_text, max_bytes, max_steps;
// one left out or None is none), after `positional` leading parameters
// named in `names` and `format`. False with a Python error pending.
bool parse_limits(PyObject* args, PyObject* kwargs, const char* format, const char* const* names,
                  PyObject** positional, velk::Limits& limits);

// A mapping's entries as bind() converts them, in the mapping's order:
// everything is converted before anything is bound. False with the error
// pending, which names `function` and its `argument`.
using Bindings = std::vector<std::pair<velk::Identifier, velk::ValueRef>>;
bool convert_bindings(PyObject* values, const char* function, const char* argument, Bindings& entries);

}  // namespace zarn
