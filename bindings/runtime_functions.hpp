// The functions of the module zarn_runtime (runtime_functions.cpp).
#pragma once

#include "py_ref.hpp"
#include "velk/limits.hpp"

namespace zarn {

// The method table of zarn_runtime: set_limits, set_default_limits,
// set_fault_report, dumps and loads.
PyMethodDef* runtime_functions() noexcept;

// Makes pickle and copy take Expr and Statement objects through
// `runtime`'s dumps and loads (copyreg). False with a Python error pending.
bool register_tree_pickling(PyObject* runtime);

// The limits a new Velk gets: none until set_default_limits.
const velk::Limits& default_limits() noexcept;

}  // namespace zarn
