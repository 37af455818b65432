// The class Velk: one machine per object. Runs statement lists, reads
// variables back, prints the machine.
#include "call_binding.hpp"
#include "class_object.hpp"
#include "conversions.hpp"
#include "fault_boundary.hpp"
#include "limits_and_report.hpp"
#include "method_table.hpp"
#include "py_instance.hpp"
#include "signal_poll.hpp"
#include "statement_sequence.hpp"
#include "velk/machine.hpp"

namespace zarn {
namespace {

using velk::Machine;

constexpr const char* kRunParams[] = {"stmts"};
constexpr const char* kGetParams[] = {"ident"};

constexpr FunctionDescription kNew{"Velk", "__new__", {}, Receiver::Class};
constexpr FunctionDescription kRun{"Velk", "run", kRunParams, Receiver::Self};
constexpr FunctionDescription kGet{"Velk", "get", kGetParams, Receiver::Self};

// The interpreter lock is held for every call of the module and no Python
// code runs inside a store operation, so a machine made here has one user
// at a time and its store skips its locks. A free-threaded interpreter has
// no such lock: there the store keeps them.
#ifdef Py_GIL_DISABLED
constexpr velk::Access kMachineAccess = velk::Access::Shared;
#else
constexpr velk::Access kMachineAccess = velk::Access::Exclusive;
#endif

// `self` is used in place: every operation takes the machine by shared
// reference and the store does its own locking.
const Machine* machine_of(PyObject* self) { return instance_value<Machine>(self, velk_class()); }

// ---- methods --------------------------------------------------------------

PyObject* run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kRun> slots{};
        if (!bind_fast_call(kRun, args, nargs, kwnames, slots)) return nullptr;
        const Machine* machine = machine_of(self);
        if (machine == nullptr) return nullptr;
        // An exact list or tuple runs where it lies, nothing copied.
        auto statements = convert_argument(kRun, slots, 0, StatementSequence::extract);
        if (!statements) return nullptr;
        statements->run(*machine, signal_poll());
        Py_RETURN_NONE;
    });
}

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kGet> slots{};
        if (!bind_fast_call(kGet, args, nargs, kwnames, slots)) return nullptr;
        const Machine* machine = machine_of(self);
        if (machine == nullptr) return nullptr;
        auto id = convert_argument(kGet, slots, 0, to_identifier);
        if (!id) return nullptr;
        // Looked up like Machine::get, but a value without text is copied
        // while its shard is read-locked instead of gaining a reference to
        // drop again at once: two atomic updates fewer.
        velk::Value copy;
        velk::ValueRef held;
        return from_value(machine->read(*id, copy, held)).release();
    });
}

// ---- slots ----------------------------------------------------------------

// A new machine of `type`, with the default limits.
PyObject* new_machine(PyTypeObject* type) {
    PyObject* object = new_instance<Machine>(type, kMachineAccess);
    if (object != nullptr && default_limits().any()) wrapped<Machine>(object).set_limits(default_limits());
    return object;
}

// Velk.__new__(Velk), and Velk() when the type has no call of its own.
PyObject* create(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Slots<kNew> slots{};
        if (!bind_classic_call(kNew, args, kwargs, slots)) return nullptr;
        return new_machine(type);
    });
}

// Velk(): the type's own call, as __new__ binds its arguments.
PyObject* construct(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kNew> slots{};
        if (!bind_fast_call(kNew, args, static_cast<Py_ssize_t>(nargsf), kwnames, slots)) return nullptr;
        return new_machine(reinterpret_cast<PyTypeObject*>(type));
    });
}

PyObject* repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const Machine* machine = machine_of(self);
        if (machine == nullptr) return nullptr;
        std::string text = machine->debug_text();
        return checked(PyUnicode_FromStringAndSize(text.data(),
                                                   static_cast<Py_ssize_t>(text.size())))
            .release();
    });
}

// ---- type specification ---------------------------------------------------

PyMethodDef velk_methods[] = {
    instance_method<kRun>(run),
    instance_method<kGet>(get),
    kMethodTableEnd,
};

const ClassDescription velk_description{
    .name = "Velk",
    .spec_name = "builtins.Velk",
    .basic_size = static_cast<int>(sizeof(PyInstance<Machine>)),
    .doc = documentation<kNew>(),
    .create = create,
    .repr = repr,
    .dealloc = dealloc_instance<Machine>,
    .methods = velk_methods,
    .construct = construct,
};

ClassObject velk_class_object(velk_description);

}  // namespace

ClassObject& velk_class() { return velk_class_object; }

}  // namespace zarn
