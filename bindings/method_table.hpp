// Entries of the method tables of the classes and of zarn_runtime. Every
// function uses fast calls with keyword names; its name and documentation
// (its text signature first) come from its function description.
#pragma once

#include "call_binding.hpp"
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

// Name and documentation (the text signature) come from the description.
template <const FunctionDescription& F>
PyMethodDef instance_method(FastCallFunction function) noexcept {
    static_assert(F.receiver == Receiver::Self, "an instance method's signature starts with $self");
    return {F.function_name, as_cfunction(function), kFastCallFlags, documentation<F>()};
}

// Called on the class (or an instance, which is ignored) without self.
template <const FunctionDescription& F>
PyMethodDef static_method(FastCallFunction function) noexcept {
    static_assert(F.receiver == Receiver::None, "a static method takes no receiver");
    return {F.function_name, as_cfunction(function), kFastCallFlags | METH_STATIC, documentation<F>()};
}

// A function of a module, which receives the module.
template <const FunctionDescription& F>
PyMethodDef module_function(FastCallFunction function) noexcept {
    static_assert(F.receiver == Receiver::Module, "a module function's signature starts with $module");
    return {F.function_name, as_cfunction(function), kFastCallFlags, documentation<F>()};
}

inline constexpr PyMethodDef kMethodTableEnd{nullptr, nullptr, 0, nullptr};

}  // namespace zarn
