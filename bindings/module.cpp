// The module zarn: single-phase initialisation and class registration.
// PyInit_zarn is the only symbol the shared object exports.
#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include "error_text.hpp"
#include "class_object.hpp"
#include "fault_boundary.hpp"
#include "runtime_module.hpp"

namespace zarn {
namespace {

// The C API version passed to PyModule_Create2 (PYTHON_API_VERSION of every
// CPython 3.x so far).
constexpr int kApiVersion = 1013;
static_assert(kApiVersion == PYTHON_API_VERSION, "built against an unexpected C API version");

constexpr std::int64_t kNoInterpreter = -1;

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "zarn",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The interpreter that first imported the module; the module keeps Python
// objects in process-wide state, so it serves that one interpreter only, as
// long as it exists.
std::atomic<std::int64_t> owning_interpreter{kNoInterpreter};

// The module object after the first successful import; never released.
// Accessed only under the interpreter lock. A subinterpreter's module is
// only watched (module_watch), not held: see store_module.
PyObject* module_object = nullptr;

// A weak reference to module_object made in a subinterpreter, whose
// callback undoes an import that CPython refused; null otherwise.
PyObject* module_watch = nullptr;

// The classes, in registration order.
std::array<ClassObject*, 3> module_classes() {
    return {&velk_class(), &statement_class(), &expr_class()};
}

// Whether the interpreter with this ID still exists. IDs are never reused,
// so one missing from the list is gone for good. (The C API offers no lock
// for this walk; it runs only when an interpreter other than the owner
// imports.)
bool interpreter_exists(std::int64_t id) {
    for (PyInterpreterState* state = PyInterpreterState_Head(); state != nullptr;
         state = PyInterpreterState_Next(state)) {
        if (PyInterpreterState_GetID(state) == id) return true;
    }
    return false;
}

// Makes `interpreter` the owner. A different owner is kept while it exists;
// one that is gone (often an isolated subinterpreter: CPython 3.12 refuses
// this single-phase module there only after PyInit_zarn ran) is replaced, and the
// objects it made are dropped without being touched, as they died with it.
bool claim_ownership(std::int64_t interpreter) {
    std::int64_t owner = kNoInterpreter;
    if (owning_interpreter.compare_exchange_strong(owner, interpreter) || owner == interpreter) {
        return true;
    }
    // A failed exchange means that another interpreter took over meanwhile.
    if (interpreter_exists(owner) || !owning_interpreter.compare_exchange_strong(owner, interpreter)) {
        return false;
    }
    module_object = nullptr;
    module_watch = nullptr;
    for (ClassObject* cls : module_classes()) cls->forget();
    forget_panic_exception();
    forget_runtime_module();
    return true;
}

// The watch's callback, run in the interpreter that made the module, as the
// module dies. Once CPython kept a module, the interpreter holds it
// (PyState_FindModule) until its finalisation, which empties sys.modules
// first. So a module that dies while CPython has not kept it and the
// runtime module is still registered was refused: its import is undone and
// the interpreter owns nothing, leaving every interpreter free to import.
PyObject* undo_refused_import(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        PyRef watch = PyRef::steal(std::exchange(module_watch, nullptr));
        module_object = nullptr;
        if (PyState_FindModule(&module_definition) == nullptr && withdraw_runtime_module()) {
            for (ClassObject* cls : module_classes()) cls->release();
            release_panic_exception();
            owning_interpreter.store(kNoInterpreter);
        }
        Py_RETURN_NONE;
    });
}

PyMethodDef undo_definition = {"_undo_refused_import", undo_refused_import, METH_O, nullptr};

// Stores the module made by this import. The main interpreter holds it. A
// subinterpreter only watches it: CPython 3.12 refuses this single-phase
// module in an isolated subinterpreter only after PyInit_zarn returned, and
// drops the module then, which the watch sees. (An import in another
// interpreter at that very moment is still refused.)
bool store_module(PyObject* module) {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) {
        module_object = Py_NewRef(module);
        return true;
    }
    PyRef callback = PyRef::steal(PyCFunction_New(&undo_definition, nullptr));
    if (!callback) return false;
    module_watch = PyWeakref_NewRef(module, callback.get());
    if (module_watch == nullptr) return false;
    module_object = module;
    return true;
}

// The module's __all__ list, created when missing.
PyObject* all_list(PyObject* module) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return nullptr;
    }
    if (!PyList_Check(all.get())) {
        raise_conversion_error(all.get(), "PyList");
        return nullptr;
    }
    return all.release();
}

// Creates (once) the class's type object, lists its name in __all__ and
// sets it as a module attribute.
bool register_class(PyObject* module, ClassObject& cls) {
    PyTypeObject* type = cls.get_or_create();
    if (type == nullptr) {
        pass_interrupt();
        PyRef cause = PyRef::steal(PyErr_GetRaisedException());
        raise_with_message(PyExc_RuntimeError,
                           std::string("An error occurred while initializing class ") + cls.name());
        PyRef error = PyRef::steal(PyErr_GetRaisedException());
        PyException_SetCause(error.get(), cause.release());  // steals
        PyErr_SetRaisedException(error.release());
        return false;
    }
    PyRef all = PyRef::steal(all_list(module));
    if (!all) return false;
    PyRef name = checked(PyUnicode_FromString(cls.name()));
    if (PyList_Append(all.get(), name.get()) < 0) {
        pass_interrupt();
        std::string message = "could not append __name__ to __all__";
        PyRef error = PyRef::steal(PyErr_GetRaisedException());
        if (auto text = lossy_str(error.get())) message += ": " + *text;
        raise_fault(message);
    }
    return PyModule_AddObjectRef(module, cls.name(), reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* init_module() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == kNoInterpreter) {
        if (PyErr_Occurred() == nullptr) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    if (!claim_ownership(interpreter)) {
        PyErr_SetString(PyExc_ImportError,
                        "zarn does not support sub-interpreters: it can be imported only in the "
                        "interpreter that first imported it");
        return nullptr;
    }
    // Importing again (after deleting it from sys.modules, or a reload)
    // yields the very same module and runs no initialisation.
    if (module_object != nullptr) {
        if (!register_runtime_module()) return nullptr;
        return Py_NewRef(module_object);
    }

    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, kApiVersion));
    if (!module) return nullptr;
    for (ClassObject* cls : module_classes()) {
        if (!register_class(module.get(), *cls)) return nullptr;
    }
    if (!register_runtime_module() || !store_module(module.get())) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace zarn

PyMODINIT_FUNC PyInit_zarn() {
    return zarn::guarded(zarn::init_module);
}
