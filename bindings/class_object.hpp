// The module's classes: how each is described, and its type object, created
// once per process on first use and then shared by every registration and
// every instance test.
#pragma once

#include "py_ref.hpp"

namespace zarn {

struct ClassDescription {
    const char* name;        // Python name, e.g. "Expr"
    const char* spec_name;   // "builtins." + name, so __module__ is "builtins"
    int basic_size;          // bytes of one instance
    const char* doc;         // class documentation; empty for none
    newfunc create;          // tp_new: the constructor, or the refusing one
    reprfunc repr;           // tp_repr, or null to keep the default
    destructor dealloc;      // tp_dealloc
    PyMethodDef* methods;    // method table, terminated by a zeroed entry
    // The call of the class itself, or null for the generic one: a class
    // made once per request spares the argument tuple and the lookups of
    // __new__ and __init__ of the generic call.
    vectorcallfunc construct = nullptr;
};

class ClassObject {
public:
    explicit constexpr ClassObject(const ClassDescription& description) noexcept
        : description_(description) {}
    ClassObject(const ClassObject&) = delete;
    ClassObject& operator=(const ClassObject&) = delete;

    const char* name() const noexcept { return description_.name; }

    // The type object, created on first use; NULL with the creation error
    // pending when the interpreter refuses it.
    PyTypeObject* get_or_create() {
        if (type_ != nullptr) [[likely]] return type_;
        return create();
    }

    // Drops the type object without releasing it: it belonged to an
    // interpreter that no longer exists.
    void forget() noexcept { type_ = nullptr; }
    // Releases the type object: the interpreter it belongs to refused the
    // import that made it.
    void release() { Py_CLEAR(type_); }

    // For use outside registration: failing creation is an internal fault
    // "failed to create type object for <name>".
    PyTypeObject* require() {
        if (type_ != nullptr) [[likely]] return type_;
        return create_or_fault();
    }

private:
    PyTypeObject* create();
    [[gnu::noinline]] PyTypeObject* create_or_fault();

    const ClassDescription& description_;  // static description of the class
    // Created once; released only by an import that CPython refused.
    // Accessed only under the interpreter lock.
    PyTypeObject* type_ = nullptr;
};

// The three classes, in registration order.
ClassObject& velk_class();
ClassObject& statement_class();
ClassObject& expr_class();

}  // namespace zarn
