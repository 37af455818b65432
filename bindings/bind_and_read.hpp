// Variables in and out of a machine in one call (bind_and_read.cpp):
// zarn_runtime.bind and read, and the conversion of a mapping's entries
// that bind and evaluate share.
#pragma once

#include "py_ref.hpp"

#include <utility>
#include <vector>

#include "velk/value.hpp"

namespace zarn {

// The method table: bind and read.
PyMethodDef* bind_and_read_functions() noexcept;

// A mapping's entries as bind() converts them, in the mapping's order:
// everything is converted before anything is bound. False with the error
// pending; the caller applies the argument-error rule.
using Bindings = std::vector<std::pair<velk::Identifier, velk::ValueRef>>;
bool convert_bindings(PyObject* values, Bindings& entries);

}  // namespace zarn
