// Trees as bytes (tree_bytes.cpp): zarn_runtime's dumps and loads, and
// what the module sets up around them.
#pragma once

#include "py_ref.hpp"

namespace zarn {

// The method table: dumps and loads.
PyMethodDef* tree_bytes_functions() noexcept;

// Makes pickle and copy take Expr and Statement objects through
// `runtime`'s dumps and loads (copyreg), and sets `runtime._TREE_FORMAT`,
// the form of their bytes by name for zarn_text's reader. False with a
// Python error pending.
bool register_tree_bytes(PyObject* runtime);

}  // namespace zarn
