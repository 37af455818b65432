// The fault boundary: the one place where C++ failures turn into Python
// exceptions. Every entry point that CPython calls runs its whole body inside
// `guarded` (or `guarded_dealloc`), so no C++ exception ever crosses into the
// interpreter.
//
//   velk::EvalError (core failure or internal fault) -> PanicException(message)
//   std::bad_alloc                                   -> MemoryError
//   any other C++ exception                          -> PanicException(what())
//
// PanicException derives from BaseException, so `except Exception` does not
// swallow it. It lives in a runtime-support module, not in `zarn`.
//
// Nothing here is noexcept, and every catch-all handler lets a forced
// unwind (ForcedUnwind, foreign_exception) through: CPython ends a daemon thread that wakes up
// during finalisation with pthread_exit, whose unwinding must cross the
// module's frames (stopping it, or meeting noexcept, aborts the process).
#pragma once

#include "py_ref.hpp"

#if __has_include(<cxxabi.h>)
#include <cxxabi.h>
#endif

#include <cstdint>
#include <string>
#include <type_traits>

namespace zarn {

// The forced unwind of pthread_exit, as each C++ runtime sees it: libstdc++
// gives it a type to catch; to LLVM's libc++abi (macOS, musl builds with
// libc++) it is a foreign exception, one with no C++ type, which catch (...)
// also meets. Microsoft's runtime has no pthread_exit to let through.
#if defined(__GLIBCXX__)
using ForcedUnwind = abi::__forced_unwind;
inline bool foreign_exception() noexcept { return false; }
#elif defined(_MSC_VER) && !defined(__clang__)
struct ForcedUnwind {};  // never thrown
inline bool foreign_exception() noexcept { return false; }
#else
struct ForcedUnwind {};  // never thrown: the case is foreign_exception()
inline bool foreign_exception() noexcept { return abi::__cxa_current_exception_type() == nullptr; }
#endif

// The class PanicException (borrowed; created on first use, kept for the
// life of the process), or null with the creation error pending.
PyObject* panic_exception();

// Thrown when the interpreter itself failed (RecursionError, MemoryError)
// while the module built an error or called an API that must produce an
// object, or when Python code that a run let in raised (a signal handler,
// py_velk.cpp): the boundary returns with that error pending, unchanged,
// and reports nothing.
struct PythonErrorPending {};

// Throws PythonErrorPending when the pending error is not an Exception
// (KeyboardInterrupt, SystemExit, PanicException...); otherwise does
// nothing. The module never discards nor wraps one: it reaches the caller
// unchanged, wherever Python code that the module called raised it.
void pass_interrupt();

// Throws PythonErrorPending when the pending error is RecursionError,
// MemoryError or an interrupt (pass_interrupt); otherwise does nothing. Call
// it before printing or wrapping an error that a Python API call left.
void pass_interpreter_failure();

// Drops the pending error of a query whose failure the module ignores (a
// length that is only a hint, a text for a message...), unless
// pass_interpreter_failure passes it on. Every error the module clears
// goes through here, but for one of a type it asked for (ExceptionMatches).
void discard_error();

// Forget, without releasing, PanicException: it was made by an interpreter
// that no longer exists (module.cpp).
void forget_panic_exception();

// Undo its creation in the current interpreter, whose import of zarn
// CPython refused (module.cpp).
void release_panic_exception();

// Raises an internal fault of the module. It travels as the core's failure
// type, so the boundary reports and converts both the same way. The position
// defaults to the caller's file and line (builtins, which GCC, Clang and
// MSVC 2019+ all have, as std::source_location is missing with clang 14
// over libstdc++ 12).
[[noreturn]] void raise_fault(std::string message, const char* file = __builtin_FILE(),
                              std::uint32_t line = __builtin_LINE());

// For interpreter calls that must produce an object: passes a result on;
// on NULL, passes an interpreter failure on, or else prints the pending
// Python error and raises the internal fault "Python API call failed".
PyRef checked(PyObject* result, const char* file = __builtin_FILE(),
              std::uint32_t line = __builtin_LINE());

// Whether a fault writes its report to standard error (on unless switched
// off, for the whole process). Returns the setting it replaces, so that a
// caller can put it back.
bool set_fault_report(bool enabled) noexcept;

// Sets the Python exception for the C++ exception being handled. Call only
// inside a catch block. If the conversion itself fails the process stops
// with "uncaught panic at ffi boundary".
void set_python_error_for_current_exception();

// Runs the body of an entry point that returns a new reference, or NULL with
// a Python exception set.
template <class Body>
PyObject* guarded(Body&& body) {
    static_assert(std::is_same_v<std::invoke_result_t<Body&>, PyObject*>,
                  "entry points return a new reference or NULL");
    try {
        return body();
    } catch (ForcedUnwind&) {
        throw;
    } catch (...) {
        if (foreign_exception()) throw;
        set_python_error_for_current_exception();
        return nullptr;
    }
}

// Runs the body of a deallocation. There is no caller to report to, so a
// fault goes to the unraisable-exception hook; any exception that was
// pending before stays pending.
template <class Body>
void guarded_dealloc(Body&& body) {
    try {
        body();
    } catch (ForcedUnwind&) {
        throw;
    } catch (const PythonErrorPending&) {
        PyErr_WriteUnraisable(nullptr);
    } catch (...) {
        if (foreign_exception()) throw;
        PyObject* pending = PyErr_GetRaisedException();
        set_python_error_for_current_exception();
        // No object is named: the one being freed may be half destroyed,
        // and the hook would call its repr.
        PyErr_WriteUnraisable(nullptr);
        PyErr_SetRaisedException(pending);
    }
}

}  // namespace zarn
