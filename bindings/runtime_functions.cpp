// The functions of zarn_runtime: the limits of machines and the switch of
// the fault report. Machines have no limits and faults are reported until a
// host says otherwise, so nothing changes for a program that calls none.
#include "runtime_functions.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "call_binding.hpp"
#include "class_object.hpp"
#include "conversions.hpp"
#include "error_text.hpp"
#include "fault_boundary.hpp"
#include "py_instance.hpp"
#include "velk/machine.hpp"
#include "tree_codec.hpp"

namespace zarn {
namespace {

// Given to every machine made after set_default_limits. Accessed only under
// the interpreter lock.
velk::Limits default_limits_now;

// The keywords of both limit functions, in the order of Limits' fields.
constexpr const char* kLimitNames[] = {"max_text", "max_bytes", "max_steps"};

// One limit: None for none, else an int from 0 up; one of 2**64 - 1 or more
// can never be reached and so is none too.
bool to_limit(PyObject* object, const char* name, std::uint64_t& limit) {
    if (object == nullptr || object == Py_None) {
        limit = velk::Limits::kUnlimited;
        return true;
    }
    if (PyBool_Check(object) || !PyIndex_Check(object)) {
        raise_with_message(PyExc_TypeError,
                           std::string(name) + " must be an int or None, not " + type_name_of(object));
        return false;
    }
    PyRef number = PyRef::steal(PyNumber_Index(object));
    if (!number) return false;
    PyRef zero = PyRef::steal(PyLong_FromLong(0));
    if (!zero) return false;
    const int negative = PyObject_RichCompareBool(number.get(), zero.get(), Py_LT);
    if (negative < 0) return false;
    if (negative != 0) {
        raise_with_message(PyExc_ValueError, std::string(name) + " must not be negative");
        return false;
    }
    limit = PyLong_AsUnsignedLongLong(number.get());
    if (limit == static_cast<std::uint64_t>(-1) && PyErr_Occurred() != nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        limit = velk::Limits::kUnlimited;
    }
    return true;
}

}  // namespace

bool parse_limits(PyObject* args, PyObject* kwargs, const char* format, const char* const* names,
                  PyObject** positional, velk::Limits& limits) {
    PyObject* given[3] = {nullptr, nullptr, nullptr};
    // PyArg_ParseTupleAndKeywords takes a non-const keyword list.
    char* keywords[5] = {};
    std::size_t k = 0;
    for (const char* const* n = names; *n != nullptr; ++n) keywords[k++] = const_cast<char*>(*n);
    for (const char* n : kLimitNames) keywords[k++] = const_cast<char*>(n);
    const bool parsed = positional != nullptr
                            ? PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, positional, &given[0],
                                                          &given[1], &given[2])
                            : PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &given[0], &given[1],
                                                          &given[2]);
    if (!parsed) return false;
    return to_limit(given[0], kLimitNames[0], limits.max_text) &&
           to_limit(given[1], kLimitNames[1], limits.max_bytes) &&
           to_limit(given[2], kLimitNames[2], limits.max_steps);
}

namespace {

// The machine of a Velk argument of `function`, or null with TypeError.
velk::Machine* machine_argument(PyObject* object, const char* function) {
    if (PyObject_TypeCheck(object, velk_class().require())) return &wrapped<velk::Machine>(object);
    raise_with_message(PyExc_TypeError,
                       std::string(function) + "() argument 'machine' must be Velk, not " + type_name_of(object));
    return nullptr;
}

PyObject* set_limits(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"machine", nullptr};
        PyObject* machine = nullptr;
        velk::Limits limits;
        if (!parse_limits(args, kwargs, "O|$OOO:set_limits", names, &machine, limits)) return nullptr;
        velk::Machine* m = machine_argument(machine, "set_limits");
        if (m == nullptr) return nullptr;
        m->set_limits(limits);
        Py_RETURN_NONE;
    });
}

PyObject* set_default_limits(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {nullptr};
        velk::Limits limits;
        if (!parse_limits(args, kwargs, "|$OOO:set_default_limits", names, nullptr, limits)) return nullptr;
        default_limits_now = limits;
        Py_RETURN_NONE;
    });
}

PyObject* set_fault_report(PyObject*, PyObject* enabled) {
    return guarded([&]() -> PyObject* {
        const int truth = PyObject_IsTrue(enabled);
        if (truth < 0) return nullptr;
        zarn::set_fault_report(truth != 0);
        Py_RETURN_NONE;
    });
}

// "'price'": the key as Python shows it, for the prefix of an error.
std::string key_text(PyObject* key) {
    PyRef text = PyRef::steal(PyObject_Repr(key));
    if (!text) {
        discard_error();
        return "<repr() failed>";
    }
    return lossy_str(text.get()).value_or("<repr() failed>");
}

// Puts `before`, the key's text and `after` in front of the pending
// TypeError of a failed conversion. The error is set aside while the text
// is made: repr() may be Python code, which must not start with an error
// pending.
void prefix_with_key(std::string_view before, PyObject* key, std::string_view after) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyRef error = PyRef::steal(PyErr_GetRaisedException());
    std::string prefix(before);
    prefix += key_text(key);
    prefix += after;
    PyErr_SetRaisedException(error.release());
    prefix_type_error(prefix);
}

// One entry of bind(): converted, or nothing with the prefixed error. The
// caller holds `key` and `value`: the conversions may run Python code.
bool convert_entry(PyObject* key, PyObject* value, Bindings& out) {
    auto id = to_identifier(key);
    if (!id) {
        prefix_with_key("key ", key, ": ");
        return false;
    }
    auto converted = to_value(value);
    if (!converted) {
        prefix_with_key("values[", key, "]: ");
        return false;
    }
    out.emplace_back(std::move(*id), velk::ValueRef::make(std::move(*converted)));
    return true;
}

// The entries of a list of (key, value) pairs from `start` on. Each pair is
// held while it is converted: Python code that a conversion runs may reach
// the list itself (gc.get_objects()) and change it.
bool convert_pairs(PyObject* pairs, Py_ssize_t start, const char* function, const char* argument, Bindings& out) {
    for (Py_ssize_t i = start; i < PyList_GET_SIZE(pairs); ++i) {
        PyRef pair = PyRef::borrow(PyList_GET_ITEM(pairs, i));
        if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
            raise_with_message(PyExc_TypeError,
                               std::string(function) + "() argument '" + argument + "': items() must give pairs");
            return false;
        }
        // A tuple's items stay as long as the tuple.
        if (!convert_entry(PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1), out)) return false;
    }
    return true;
}

// An exact dict is read in place while its entries are of exact built-in
// types, whose conversion runs no Python code (exact_literal; CPython 3.12
// collects garbage only between bytecodes). From the first entry that may
// run Python code on, the entries come from a snapshot of strong references
// taken then, which is still the dict as the call found it.
bool convert_dict(PyObject* dict, const char* function, const char* argument, Bindings& out) {
    out.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
    Py_ssize_t at = 0;
    PyObject *key, *value;  // borrowed, used only while no Python code runs
    while (PyDict_Next(dict, &at, &key, &value)) {
        if (auto id = exact_identifier(key)) {
            if (auto literal = exact_literal(value)) {
                out.emplace_back(std::move(*id), velk::ValueRef::make(std::move(*literal)));
                continue;
            }
        }
        PyRef items = PyRef::steal(PyDict_Items(dict));
        return items && convert_pairs(items.get(), static_cast<Py_ssize_t>(out.size()), function, argument, out);
    }
    return true;
}

// Whether bind() takes `values` as a mapping: a dict, a
// collections.abc.Mapping, or an object with the mapping protocol and not the
// sequence one.
std::optional<bool> is_mapping(PyObject* values) {
    if (PyDict_Check(values) || (PyMapping_Check(values) && !PySequence_Check(values))) return true;
    PyRef abc = PyRef::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return std::nullopt;
    PyRef mapping = PyRef::steal(PyObject_GetAttrString(abc.get(), "Mapping"));
    if (!mapping) return std::nullopt;
    const int is = PyObject_IsInstance(values, mapping.get());
    if (is < 0) return std::nullopt;
    return is != 0;
}

// Any other mapping: its items() when the call began.
bool convert_mapping(PyObject* values, const char* function, const char* argument, Bindings& out) {
    auto mapping = is_mapping(values);
    if (!mapping) return false;
    if (!*mapping) {
        raise_with_message(PyExc_TypeError, std::string(function) + "() argument '" + argument +
                                               "' must be a mapping, not " + type_name_of(values));
        return false;
    }
    PyRef items = PyRef::steal(PyMapping_Items(values));
    return items && convert_pairs(items.get(), 0, function, argument, out);
}

}  // namespace

bool convert_bindings(PyObject* values, const char* function, const char* argument, Bindings& entries) {
    return PyDict_CheckExact(values) ? convert_dict(values, function, argument, entries)
                                     : convert_mapping(values, function, argument, entries);
}

namespace {

PyObject* bind(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"machine", "values", nullptr};
        PyObject* machine = nullptr;
        PyObject* values = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:bind", const_cast<char**>(names), &machine, &values)) {
            return nullptr;
        }
        velk::Machine* m = machine_argument(machine, "bind");
        if (m == nullptr) return nullptr;
        // Everything is converted before anything is bound.
        Bindings entries;
        if (!convert_bindings(values, "bind", "values", entries)) return nullptr;
        for (auto& [id, value] : entries) (void)m->bind(id, std::move(value));
        Py_RETURN_NONE;
    });
}

// The tree an Expr or Statement object holds, or nothing with TypeError.
std::optional<velk::Tree> tree_of(PyObject* object, const char* function) {
    if (PyObject_TypeCheck(object, expr_class().require())) return wrapped<velk::Expr>(object);
    if (PyObject_TypeCheck(object, statement_class().require())) return wrapped<velk::Statement>(object);
    raise_with_message(PyExc_TypeError,
                       std::string(function) + "() argument must be Expr or Statement, not " + type_name_of(object));
    return std::nullopt;
}

PyObject* dumps(PyObject*, PyObject* tree) {
    return guarded([&]() -> PyObject* {
        auto held = tree_of(tree, "dumps");
        if (!held) return nullptr;
        const std::string bytes = velk::encode_tree(*held);
        return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    });
}

PyObject* loads(PyObject*, PyObject* data) {
    return guarded([&]() -> PyObject* {
        Py_buffer view;
        if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
        std::string error;
        std::optional<velk::Tree> tree;
        try {
            tree = velk::decode_tree({static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)}, error);
        } catch (...) {
            PyBuffer_Release(&view);
            throw;
        }
        PyBuffer_Release(&view);
        if (!tree) {
            raise_with_message(PyExc_ValueError, "damaged tree data: " + error);
            return nullptr;
        }
        if (auto* e = std::get_if<velk::Expr>(&*tree)) return new_instance<velk::Expr>(expr_class().require(), std::move(*e));
        return new_instance<velk::Statement>(statement_class().require(), std::move(std::get<velk::Statement>(*tree)));
    });
}

// copyreg's reducer for both classes: (loads, (dumps(tree),)).
PyObject* reduce_tree(PyObject* module, PyObject* tree) {
    return guarded([&]() -> PyObject* {
        PyRef bytes = PyRef::steal(dumps(module, tree));
        if (!bytes) return nullptr;
        PyRef load = PyRef::steal(PyObject_GetAttrString(module, "loads"));
        if (!load) return nullptr;
        return Py_BuildValue("O(O)", load.get(), bytes.get());
    });
}

PyMethodDef functions[] = {
    {"set_limits", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_limits)),
     METH_VARARGS | METH_KEYWORDS,
     "set_limits($module, machine, *, max_text=None, max_bytes=None, max_steps=None)\n--\n\n"
     "Sets the limits of one machine; a limit left out or None is none."},
    {"set_default_limits", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_default_limits)),
     METH_VARARGS | METH_KEYWORDS,
     "set_default_limits($module, *, max_text=None, max_bytes=None, max_steps=None)\n--\n\n"
     "Sets the limits of every machine made after the call."},
    {"set_fault_report", set_fault_report, METH_O,
     "set_fault_report($module, enabled, /)\n--\n\n"
     "Switches the fault report on standard error on or off for the process."},
    {"bind", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bind)), METH_VARARGS | METH_KEYWORDS,
     "bind($module, machine, values)\n--\n\n"
     "Binds each identifier of a mapping to its literal value, in the mapping's order."},
    {"dumps", dumps, METH_O,
     "dumps($module, tree, /)\n--\n\n"
     "The bytes of an Expr or Statement tree, which loads() turns back into it."},
    {"loads", loads, METH_O,
     "loads($module, data, /)\n--\n\n"
     "The Expr or Statement tree whose bytes dumps() gave."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef reduce_function = {"_reduce_tree", reduce_tree, METH_O, nullptr};

}  // namespace

const velk::Limits& default_limits() noexcept { return default_limits_now; }

PyMethodDef* runtime_functions() noexcept { return functions; }

bool register_tree_pickling(PyObject* runtime) {
    PyRef reducer = PyRef::steal(PyCFunction_NewEx(&reduce_function, runtime, nullptr));
    if (!reducer) return false;
    PyRef copyreg = PyRef::steal(PyImport_ImportModule("copyreg"));
    if (!copyreg) return false;
    for (ClassObject* cls : {&expr_class(), &statement_class()}) {
        PyRef done = PyRef::steal(PyObject_CallMethod(copyreg.get(), "pickle", "OO",
                                                      reinterpret_cast<PyObject*>(cls->require()), reducer.get()));
        if (!done) return false;
    }
    return true;
}

}  // namespace zarn
