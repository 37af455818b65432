// The module zarn_runtime (runtime_module.cpp): made once per process,
// registered by every initialisation of zarn.
#pragma once

#include "py_ref.hpp"

namespace zarn {

// Registers the module zarn_runtime, which holds PanicException and the
// functions of bind_and_read, limits_and_report, tree_bytes and evaluate, in
// sys.modules. False with a Python error pending.
bool register_runtime_module();

// Forgets, without releasing, the module: it was made by an interpreter
// that no longer exists (module.cpp).
void forget_runtime_module();

// Undoes its creation in the current interpreter, whose import of zarn
// CPython refused (module.cpp): the module is taken out of sys.modules and
// released. Changes nothing and gives false when sys.modules does not hold
// that module (the interpreter is being finalised).
bool withdraw_runtime_module();

}  // namespace zarn
