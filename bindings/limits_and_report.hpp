// zarn_runtime's settings (limits_and_report.cpp): the limits of one machine
// and of every new one, and the switch of the fault report.
#pragma once

#include "py_ref.hpp"

#include "velk/limits.hpp"

namespace zarn {

// The method table: set_limits, set_default_limits and set_fault_report.
PyMethodDef* limits_and_report_functions() noexcept;

// The limits a new Velk gets: none until set_default_limits.
const velk::Limits& default_limits() noexcept;

// The limits that `keywords` (a dict) gives as set_default_limits takes
// them, checked as it checks them. False with a Python error pending.
bool limits_from_keywords(PyObject* keywords, velk::Limits& limits);

}  // namespace zarn
