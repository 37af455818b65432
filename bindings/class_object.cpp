#include "class_object.hpp"

#include <array>
#include <cstring>
#include <string>

#include "fault_boundary.hpp"

namespace zarn {

PyTypeObject* ClassObject::create() {
    // Base, deallocation, documentation (if any), creation, printed form (if
    // any), methods, terminator.
    constexpr std::size_t kMaxSlots = 7;
    std::array<PyType_Slot, kMaxSlots> slots{};
    std::size_t used = 0;
    slots[used++] = {Py_tp_base, &PyBaseObject_Type};
    slots[used++] = {Py_tp_dealloc, reinterpret_cast<void*>(description_.dealloc)};
    if (description_.doc[0] != '\0') {
        slots[used++] = {Py_tp_doc, const_cast<char*>(description_.doc)};
    }
    slots[used++] = {Py_tp_new, reinterpret_cast<void*>(description_.create)};
    if (description_.repr != nullptr) {
        slots[used++] = {Py_tp_repr, reinterpret_cast<void*>(description_.repr)};
    }
    slots[used++] = {Py_tp_methods, description_.methods};
    slots[used] = {0, nullptr};

    PyType_Spec spec{
        .name = description_.spec_name,
        .basicsize = description_.basic_size,
        .itemsize = 0,
        // Default flags only: no subclassing, no GC, no dict, no weak refs.
        .flags = Py_TPFLAGS_DEFAULT,
        .slots = slots.data(),
    };
    type_ = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    // A type's vectorcall has no slot of its own before Python 3.14; the
    // field is read at each call of the type.
    if (type_ != nullptr && description_.construct != nullptr) type_->tp_vectorcall = description_.construct;
    return type_;
}

PyTypeObject* ClassObject::create_or_fault() {
    if (PyTypeObject* type = create()) return type;
    pass_interpreter_failure();
    PyErr_Print();
    raise_fault(std::string("failed to create type object for ") + name());
}

}  // namespace zarn
