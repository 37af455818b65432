// Layout and lifecycle of an instance of one of the module's classes: the
// object header followed by the wrapped core value, which the instance owns
// alone and never changes after creation.
#pragma once

#include "class_object.hpp"
#include "error_text.hpp"
#include "fault_boundary.hpp"
#include "py_ref.hpp"

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace zarn {

template <class T>
struct PyInstance {
    PyObject header;                          // the interpreter's object header
    alignas(T) std::byte storage[sizeof(T)];  // the wrapped value, built in place

    // The interpreter's allocator guarantees no more than this alignment.
    static_assert(alignof(T) <= alignof(std::max_align_t),
                  "the wrapped value must fit the object allocator's alignment");
    static_assert(std::is_nothrow_destructible_v<T>);
};

// The value wrapped by `object`, which must be an instance of a class that
// wraps a T.
template <class T>
T& wrapped(PyObject* object) noexcept {
    auto* instance = reinterpret_cast<PyInstance<T>*>(object);
    return *std::launder(reinterpret_cast<T*>(instance->storage));
}

// The value wrapped by `object` when it is an instance of `cls` (or of a
// subclass); null with the conversion error naming the class otherwise.
template <class T>
const T* instance_value(PyObject* object, ClassObject& cls) {
    PyTypeObject* type = cls.require();
    // The name is only needed for the error: check the type first.
    if (!PyObject_TypeCheck(object, type) && extract_instance(object, type, cls.name()) == nullptr) return nullptr;
    return &wrapped<T>(object);
}

// Gives back an object whose value was never built (or is destroyed already):
// its memory through the type's free function, then the reference to the heap
// type that every instance holds.
inline void free_instance_memory(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

// A new instance of `type` (through its allocation slot) whose value is built
// in place from `args`. NULL with the interpreter's error (normally
// MemoryError) when allocation fails.
template <class T, class... Args>
PyObject* new_instance(PyTypeObject* type, Args&&... args) {
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    try {
        ::new (static_cast<void*>(reinterpret_cast<PyInstance<T>*>(object)->storage))
            T(std::forward<Args>(args)...);
    } catch (...) {
        free_instance_memory(object);
        throw;
    }
    return object;
}

// tp_dealloc of a class wrapping a T: destroy the value, then free.
template <class T>
void dealloc_instance(PyObject* self) {
    guarded_dealloc([self] {
        std::destroy_at(&wrapped<T>(self));
        free_instance_memory(self);
    });
}

// tp_new of a class that Python code may not call directly.
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace zarn
