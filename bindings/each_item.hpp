// One walk over a Python iterable, for the functions that take any
// iterable (zarn_runtime.read, evaluate_many).
#pragma once

#include "py_ref.hpp"

namespace zarn {

// Calls take(item) for each item of `iterable`, each held while it is used
// (using it may run Python code); false, with an error pending, when
// iterating fails or take() does.
template <class Take>
bool each_item(PyObject* iterable, Take&& take) {
    PyRef items = PyRef::steal(PyObject_GetIter(iterable));
    if (!items) return false;
    for (;;) {
        PyRef item = PyRef::steal(PyIter_Next(items.get()));
        if (!item) return PyErr_Occurred() == nullptr;
        if (!take(item.get())) return false;
    }
}

}  // namespace zarn
