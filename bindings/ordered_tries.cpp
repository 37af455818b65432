#include "ordered_tries.hpp"

#include <limits>
#include <string>
#include <string_view>

#include "conversions.hpp"
#include "enum_failure.hpp"
#include "error_text.hpp"
#include "fault_boundary.hpp"

namespace zarn {
namespace {

// The variants of the two enumerations, as their failure text lists them.
constexpr std::string_view kValueVariants = "Null | Boolean | String | I64 | F64";
constexpr std::string_view kIdentifierVariants = "U | S";

static_assert(variant_count(kValueVariants) <= EnumFailure::kMaxVariants &&
                  variant_count(kIdentifierVariants) <= EnumFailure::kMaxVariants,
              "an enumeration with more variants than kMaxVariants would write past EnumFailure's entries");

bool is_builtin_scalar(PyObject* object) {
    return PyLong_CheckExact(object) || PyFloat_CheckExact(object) || PyUnicode_CheckExact(object);
}

bool equals_ascii(PyObject* text, const char* ascii) {
    return PyUnicode_Check(text) && PyUnicode_CompareWithASCIIString(text, ascii) == 0;
}

// numpy's boolean scalar type, recognised by name so that numpy need not be
// installed: __module__ "numpy" and name "bool_" (or "bool" since numpy 2).
bool is_numpy_bool(PyTypeObject* type) {
    PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type),
                                                       "__module__"));
    if (!module) {
        discard_error();
        return false;
    }
    if (!equals_ascii(module.get(), "numpy")) return false;
    PyRef name = PyRef::steal(PyType_GetName(type));
    if (!name) {
        discard_error();
        return false;
    }
    return equals_ascii(name.get(), "bool_") || equals_ascii(name.get(), "bool");
}

// The truth value of a numpy boolean through its type's number protocol;
// nothing with an error pending.
std::optional<bool> numpy_truth(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    auto truth = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
    if (truth == nullptr) {
        std::string message = "object of type '" +
                              lossy_str(reinterpret_cast<PyObject*>(type)).value_or("?") +
                              "' does not define a '__bool__' conversion";
        raise_with_message(PyExc_TypeError, message);
        return std::nullopt;
    }
    switch (truth(object)) {
        case 0: return false;
        case 1: return true;
        default:
            if (PyErr_Occurred() == nullptr) {
                PyErr_SetString(PyExc_SystemError, "__bool__ returned an invalid result");
            }
            return std::nullopt;
    }
}

std::optional<std::int64_t> to_i64(PyObject* object) {
    long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred() != nullptr) return std::nullopt;
    return static_cast<std::int64_t>(value);
}

std::optional<double> to_f64(PyObject* object) {
    double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) return std::nullopt;
    return value;
}

std::optional<std::uint32_t> to_u32(PyObject* object) {
    unsigned long long value = 0;
    if (PyLong_Check(object)) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        PyRef index = PyRef::steal(PyNumber_Index(object));
        if (!index) return std::nullopt;
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        return std::nullopt;
    }
    if (value > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

}  // namespace

std::optional<PyValue> PyValue::extract(PyObject* object) {
    EnumFailure failure(object, "PyValue", kValueVariants);

    if (object == Py_None) return PyValue(Form(std::in_place_index<0>, Null{PyRef::borrow(object)}));
    failure.refused("Null", "NoneType");

    if (PyBool_Check(object)) return PyValue(Form(std::in_place_index<1>, object == Py_True));
    if (!is_builtin_scalar(object) && is_numpy_bool(Py_TYPE(object))) {
        if (auto truth = numpy_truth(object)) return PyValue(Form(std::in_place_index<1>, *truth));
        failure.failed("Boolean");
    } else {
        failure.refused("Boolean", "PyBool");
    }

    if (PyUnicode_Check(object)) {
        if (auto text = utf8_of(object)) return PyValue(Form(std::in_place_index<2>, std::move(*text)));
        failure.failed("String");
    } else {
        failure.refused("String", "PyString");
    }

    if (auto number = to_i64(object)) return PyValue(Form(std::in_place_index<3>, *number));
    failure.failed("I64");

    if (auto number = to_f64(object)) return PyValue(Form(std::in_place_index<4>, *number));
    failure.failed("F64");

    failure.raise();
    return std::nullopt;
}

velk::Value PyValue::into_value() && {
    switch (form_.index()) {
        case 0: return velk::Value::null();  // the reference to None goes with *this
        case 1: return velk::Value::boolean(std::get<1>(form_));
        case 2: return velk::Value::string(std::move(std::get<2>(form_)));
        case 3: return velk::Value::number(velk::Number::from_int(std::get<3>(form_)));
        default: return velk::Value::number(velk::Number::from_float(std::get<4>(form_)));
    }
}

std::optional<PyIdentifier> PyIdentifier::extract(PyObject* object) {
    EnumFailure failure(object, "PyIdentifier", kIdentifierVariants);

    if (auto number = to_u32(object)) return PyIdentifier(Form(std::in_place_index<0>, *number));
    failure.failed("U");

    if (PyUnicode_Check(object)) {
        if (auto text = utf8_of(object)) return PyIdentifier(Form(std::in_place_index<1>, std::move(*text)));
        failure.failed("S");
    } else {
        failure.refused("S", "PyString");
    }

    failure.raise();
    return std::nullopt;
}

velk::Identifier PyIdentifier::into_identifier() && {
    if (form_.index() == 0) return velk::Identifier::u(std::get<0>(form_));
    return velk::Identifier::s(std::move(std::get<1>(form_)));
}

}  // namespace zarn
