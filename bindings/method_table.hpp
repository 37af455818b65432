// Entries of the classes' method tables. Every method uses fast calls with
// keyword names; its documentation is its text signature.
#pragma once

#include "py_ref.hpp"

namespace zarn {

inline constexpr int kFastCallFlags = METH_FASTCALL | METH_KEYWORDS;

// A method taking (self, args, nargs, kwnames); CPython names this type
// publicly only from 3.13 on.
using FastCallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

inline PyCFunction as_cfunction(FastCallFunction function) noexcept {
    // The table stores every kind of method under one pointer type; the flags
    // tell the interpreter the real one.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

inline PyMethodDef instance_method(const char* name, FastCallFunction function,
                                   const char* doc) noexcept {
    return {name, as_cfunction(function), kFastCallFlags, doc};
}

// Called on the class (or an instance, which is ignored) without self.
inline PyMethodDef static_method(const char* name, FastCallFunction function,
                                 const char* doc) noexcept {
    return {name, as_cfunction(function), kFastCallFlags | METH_STATIC, doc};
}

inline constexpr PyMethodDef kMethodTableEnd{nullptr, nullptr, 0, nullptr};

}  // namespace zarn
