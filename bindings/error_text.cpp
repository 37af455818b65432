// Text of Python objects for error messages, and raising errors with it.
#include "error_text.hpp"

#include "fault_boundary.hpp"

namespace zarn {

std::optional<std::string> type_qualname(PyTypeObject* type) {
    PyRef name = PyRef::steal(PyType_GetQualName(type));
    if (!name) {
        discard_error();
        return std::nullopt;
    }
    return lossy_str(name.get());
}

std::string type_name_of(PyObject* object) {
    return type_qualname(Py_TYPE(object)).value_or("<failed to extract type name>");
}

void raise_conversion_error(PyObject* object, std::string_view target) {
    // Appended piece by piece: GCC 12 at -O3 mistakes `"'" + std::string`
    // for an overlapping copy (-Wrestrict).
    std::string message = "'";
    message += type_name_of(object);
    message += "' object cannot be converted to '";
    message += target;
    message += "'";
    raise_with_message(PyExc_TypeError, message);
}

void raise_with_message(PyObject* type, std::string_view message) {
    PyRef text = checked(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    PyErr_SetObject(type, text.get());
    // Creating the exception may itself have failed.
    pass_interpreter_failure();
}

std::optional<std::string> lossy_str(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Str(object));
    if (!text) {
        discard_error();
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
        return std::string(data, static_cast<std::size_t>(size));
    }
    // Lone surrogates: keep their bytes, then let the decoder replace them.
    discard_error();
    PyRef raw = PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    if (!raw) {
        discard_error();
        return std::nullopt;
    }
    PyRef clean = PyRef::steal(
        PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace"));
    const char* data = clean ? PyUnicode_AsUTF8AndSize(clean.get(), &size) : nullptr;
    if (data == nullptr) {
        discard_error();
        return std::nullopt;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace zarn
