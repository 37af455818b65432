// The functions of the module zarn_runtime (runtime_functions.cpp).
#pragma once

#include "py_ref.hpp"
#include "velk/limits.hpp"

namespace zarn {

// The method table of zarn_runtime: set_limits, set_default_limits and
// set_fault_report.
PyMethodDef* runtime_functions() noexcept;

// The limits a new Velk gets: none until set_default_limits.
const velk::Limits& default_limits() noexcept;

}  // namespace zarn
