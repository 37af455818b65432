#include "enum_failure.hpp"

#include <string>
#include <vector>

#include "error_text.hpp"
#include "fault_boundary.hpp"

namespace zarn {
namespace {

// "<type qualname>: <str>", then ", caused by " and the same for each
// exception down the chain of causes.
void append_failure_text(std::string& out, PyObject* error) {
    std::vector<PyObject*> seen;  // a cause chain may loop back on itself
    PyRef current = PyRef::borrow(error);
    while (current) {
        if (!seen.empty()) out += ", caused by ";
        seen.push_back(current.get());
        out += type_name_of(current.get());
        out += ": ";
        out += lossy_str(current.get()).value_or("<exception str() failed>");
        current = PyRef::steal(PyException_GetCause(current.get()));
        for (PyObject* earlier : seen) {
            if (current.get() == earlier) return;
        }
    }
}

}  // namespace

void EnumFailure::raise() {
    std::string message = "failed to extract enum " + std::string(enum_name_) + " ('" +
                          std::string(variant_list_) + "')";
    for (std::size_t i = 0; i < count_; ++i) {
        Entry& entry = entries_[i];
        if (!entry.error) {
            raise_conversion_error(object_, entry.target);
            entry.error = PyRef::steal(PyErr_GetRaisedException());
        }
        PyRef field = field_error(entry);
        message += "\n- variant ";
        message += entry.variant;
        message += " (";
        message += entry.variant;
        message += "): ";
        append_failure_text(message, field.get());
    }
    raise_with_message(PyExc_TypeError, message);
}

// TypeError "failed to extract field <enum>::<variant>.0", caused by the
// variant's own error.
PyRef EnumFailure::field_error(Entry& entry) {
    std::string text = "failed to extract field " + std::string(enum_name_) +
                       "::" + entry.variant + ".0";
    PyRef message = checked(PyUnicode_FromStringAndSize(text.data(),
                                                        static_cast<Py_ssize_t>(text.size())));
    PyRef field = checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    PyException_SetCause(field.get(), entry.error.release());  // steals
    return field;
}

}  // namespace zarn
