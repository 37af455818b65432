// A move-only owning handle for one strong reference to a Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zarn {

class PyRef {
public:
    PyRef() noexcept = default;

    // Takes over a reference the caller owns (a "new reference" of the C API).
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Takes one more reference to a borrowed object.
    static PyRef borrow(PyObject* object) noexcept { return PyRef(Py_XNewRef(object)); }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef old(std::exchange(object_, std::exchange(other.object_, nullptr)));
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Gives the reference to the caller (for C API calls that steal it).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;  // owned reference, or null
};

}  // namespace zarn
