// The module zarn_runtime, from which PanicException can be imported, and
// which holds the functions of the runtime: the limits and the fault report
// (limits_and_report.cpp), variables in and out (bind_and_read.cpp), trees
// as bytes (tree_bytes.cpp) and zarn_text's evaluator (evaluate.cpp).
//
// The class is no attribute of zarn. Its qualified name names a module of
// its own, and this is that module: created once per process on the first
// import of zarn, holding the one PanicException class, and put into
// sys.modules by every initialisation of zarn (so also after it was taken
// out). zarn_runtime.py, installed beside the extension, covers the other
// import order: importing it imports zarn, whose initialisation puts this
// module in its place.
#include "runtime_module.hpp"

#include "bind_and_read.hpp"
#include "evaluate.hpp"
#include "fault_boundary.hpp"
#include "limits_and_report.hpp"
#include "tree_bytes.hpp"

namespace zarn {
namespace {

constexpr const char* kRuntimeDoc =
    "Runtime support of the zarn extension: PanicException, the exception that every failure\n"
    "of a zarn program raises; the limits of machines (set_limits, set_default_limits); the\n"
    "switch of the fault report (set_fault_report); variables in and out of a machine in one\n"
    "call (bind, read); trees as bytes (dumps, loads), which pickling uses.";

// Created on the first registration; never released. Accessed only under
// the interpreter lock.
PyObject* runtime_module = nullptr;

// Adds a method table's functions to `module`, and their names to `all`
// but for those of a leading underscore (zarn_text's own).
bool add_functions(PyObject* module, PyObject* all, PyMethodDef* table) {
    if (PyModule_AddFunctions(module, table) < 0) return false;
    for (PyMethodDef* f = table; f->ml_name != nullptr; ++f) {
        if (f->ml_name[0] == '_') continue;
        PyRef name = PyRef::steal(PyUnicode_FromString(f->ml_name));
        if (!name || PyList_Append(all, name.get()) < 0) return false;
    }
    return true;
}

PyObject* create_runtime_module(PyObject* panic) {
    // Named after the class's own module part, so the two cannot disagree.
    PyRef name = PyRef::steal(PyObject_GetAttrString(panic, "__module__"));
    if (!name) return nullptr;
    PyRef class_name = PyRef::steal(PyObject_GetAttrString(panic, "__name__"));
    if (!class_name) return nullptr;
    PyRef module = PyRef::steal(PyModule_NewObject(name.get()));
    if (!module || PyModule_SetDocString(module.get(), kRuntimeDoc) < 0) return nullptr;
    if (PyObject_SetAttr(module.get(), class_name.get(), panic) < 0) return nullptr;
    PyRef all = PyRef::steal(PyList_New(0));
    if (!all || PyList_Append(all.get(), class_name.get()) < 0) return nullptr;
    for (PyMethodDef* table :
         {limits_and_report_functions(), bind_and_read_functions(), tree_bytes_functions(), evaluate_functions()}) {
        if (!add_functions(module.get(), all.get(), table)) return nullptr;
    }
    if (PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
    if (!register_tree_bytes(module.get())) return nullptr;
    return module.release();
}

}  // namespace

void forget_runtime_module() { runtime_module = nullptr; }

bool withdraw_runtime_module() {
    if (runtime_module == nullptr) return false;
    PyRef name = PyRef::steal(PyModule_GetNameObject(runtime_module));
    if (!name) {
        discard_error();
        return false;
    }
    PyRef registered = PyRef::steal(PyImport_GetModule(name.get()));
    if (registered.get() != runtime_module) {
        if (PyErr_Occurred() != nullptr) discard_error();
        return false;
    }
    if (PyDict_DelItem(PyImport_GetModuleDict(), name.get()) < 0) {
        discard_error();
        return false;
    }
    Py_CLEAR(runtime_module);
    return true;
}

bool register_runtime_module() {
    if (runtime_module == nullptr) {
        PyObject* panic = panic_exception();  // borrowed
        if (panic == nullptr) return false;
        runtime_module = create_runtime_module(panic);
        if (runtime_module == nullptr) return false;
    }
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyRef name = PyRef::steal(PyModule_GetNameObject(runtime_module));
    if (!name) return false;
    return PyDict_SetItem(modules, name.get(), runtime_module) == 0;
}

}  // namespace zarn
