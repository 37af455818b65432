// zarn_runtime's read, and the native half of zarn_text's Program.evaluate
// and evaluate_many (evaluate.cpp).
#pragma once

#include "py_ref.hpp"

namespace zarn {

// The method table: read, and the private _evaluator, _evaluate and
// _evaluate_many that zarn_text calls.
PyMethodDef* evaluate_functions() noexcept;

}  // namespace zarn
