// The form of dumps' bytes, by name, for zarn_text's reader (tree_format.cpp).
#pragma once

#include "py_ref.hpp"

namespace zarn {

// Sets `runtime._TREE_FORMAT`: (magic, version, ((tag name, tag), ...),
// ((operator, byte), ...)), all taken from the codec. False with a Python
// error pending.
bool register_tree_format(PyObject* runtime);

}  // namespace zarn
