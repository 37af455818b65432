// Variables in and out of a machine in one call: bind converts a
// mapping's entries and binds them, read gives several variables back as a
// dict.
#include "bind_and_read.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "call_binding.hpp"
#include "conversions.hpp"
#include "each_item.hpp"
#include "error_text.hpp"
#include "fault_boundary.hpp"
#include "method_table.hpp"
#include "velk/machine.hpp"

namespace zarn {
namespace {

constexpr const char* kBindParams[] = {"machine", "values"};
constexpr const char* kReadParams[] = {"machine", "names"};

constexpr FunctionDescription kBind{
    .function_name = "bind",
    .parameters = kBindParams,
    .receiver = Receiver::Module,
    .summary = "Binds each identifier of a mapping to its literal value, in the mapping's order.",
};
constexpr FunctionDescription kRead{
    .function_name = "read",
    .parameters = kReadParams,
    .receiver = Receiver::Module,
    .positional_only = 2,
    .summary = "The values of several variables of a machine, as {name: value}; a name that is not bound is left out.",
};

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
bool convert_pairs(PyObject* pairs, Py_ssize_t start, Bindings& out) {
    for (Py_ssize_t i = start; i < PyList_GET_SIZE(pairs); ++i) {
        PyRef pair = PyRef::borrow(PyList_GET_ITEM(pairs, i));
        if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
            raise_with_message(PyExc_TypeError, "items() must give pairs");
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
bool convert_dict(PyObject* dict, Bindings& out) {
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
        return items && convert_pairs(items.get(), static_cast<Py_ssize_t>(out.size()), out);
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
bool convert_mapping(PyObject* values, Bindings& out) {
    auto mapping = is_mapping(values);
    if (!mapping) return false;
    if (!*mapping) {
        raise_conversion_error(values, "Mapping");
        return false;
    }
    PyRef items = PyRef::steal(PyMapping_Items(values));
    return items && convert_pairs(items.get(), 0, out);
}

}  // namespace

bool convert_bindings(PyObject* values, Bindings& entries) {
    return PyDict_CheckExact(values) ? convert_dict(values, entries) : convert_mapping(values, entries);
}

namespace {

PyObject* bind(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kBind> slots{};
        if (!bind_fast_call(kBind, args, nargs, kwnames, slots)) return nullptr;
        const velk::Machine* machine = convert_argument(kBind, slots, 0, to_machine);
        if (machine == nullptr) return nullptr;
        // Everything is converted before anything is bound.
        Bindings entries;
        if (!convert_bindings(slots[1], entries)) {
            wrap_argument_error(kBind.parameters[1]);
            return nullptr;
        }
        for (auto& [id, value] : entries) (void)machine->bind(id, std::move(value));
        Py_RETURN_NONE;
    });
}

// Puts each name of `names` that `machine` binds into `result` with its
// value. False with the error pending when `names` is a str (one name by
// mistake) or no iterable, or a name does not convert.
bool read_names(const velk::Machine& machine, PyObject* names, PyObject* result) {
    if (PyUnicode_Check(names)) {
        raise_with_message(PyExc_TypeError, "must be an iterable of names, not str");
        return false;
    }
    return each_item(names, [&](PyObject* name) {
        auto id = to_identifier(name);
        if (!id) return false;
        velk::Value copy;
        velk::ValueRef held;
        if (machine.try_read(*id, copy, held)) put_value(result, name, held ? *held : copy);
        return true;
    });
}

PyObject* read(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kRead> slots{};
        if (!bind_fast_call(kRead, args, nargs, kwnames, slots)) return nullptr;
        const velk::Machine* machine = convert_argument(kRead, slots, 0, to_machine);
        if (machine == nullptr) return nullptr;
        PyRef result = PyRef::steal(PyDict_New());
        if (!result) return nullptr;
        if (!read_names(*machine, slots[1], result.get())) {
            wrap_argument_error(kRead.parameters[1]);
            return nullptr;
        }
        return result.release();
    });
}

PyMethodDef functions[] = {
    module_function<kBind>(bind),
    module_function<kRead>(read),
    kMethodTableEnd,
};

}  // namespace

PyMethodDef* bind_and_read_functions() noexcept { return functions; }

}  // namespace zarn
