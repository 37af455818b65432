// A move-only owning handle for one strong reference to a Python object.
//
// A thread that CPython ends with pthread_exit during finalisation unwinds
// without the interpreter lock (fault_boundary.hpp): what its handles hold
// is left alone then, as freeing it would race with the finalising thread.
// Releasing may run Python code (a __del__), which may start that unwinding,
// so the destructor and the assignment are not noexcept.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zarn {

// The calling thread's state when it holds the interpreter lock, else null.
inline PyThreadState* attached_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

class PyRef {
public:
    PyRef() noexcept = default;

    // Takes over a reference the caller owns (a "new reference" of the C API).
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Takes one more reference to a borrowed object.
    static PyRef borrow(PyObject* object) noexcept { return PyRef(Py_XNewRef(object)); }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) {
        PyRef old(std::exchange(object_, std::exchange(other.object_, nullptr)));
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() noexcept(false) {
        if (object_ != nullptr && attached_thread_state() != nullptr) Py_DECREF(object_);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Gives the reference to the caller (for C API calls that steal it).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;  // owned reference, or null
};

}  // namespace zarn
