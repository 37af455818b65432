// Literals and identifiers from Python: the exact-type shortcut first, then,
// only when it declines, the ordered tries (ordered_tries.hpp).
//
// An object whose type is exactly NoneType, bool, int, float or str runs no
// user code in any conversion, and every form tried before the one it takes
// refuses it by a plain type test (an int is neither None, a bool, a numpy
// boolean nor a str; a float has no integer form either). So its form can be
// read off its type, with the same result as the ordered tries and without
// building the exceptions those tries would discard. The exceptions to this
// are the values for which a try raises and a later one decides: an int
// outside the range of the form, and a str without a UTF-8 form. For those the
// shortcut declines and the ordered tries run as always, messages included.
#include "conversions.hpp"

#include <cstdint>
#include <limits>

#include "fault_boundary.hpp"
#include "ordered_tries.hpp"

namespace zarn {
namespace {

// The value of an exact int when it fits a signed 64-bit integer; nothing
// (no error pending) otherwise.
std::optional<std::int64_t> exact_int_value(PyObject* object) {
    auto* number = reinterpret_cast<PyLongObject*>(object);
    if (PyUnstable_Long_IsCompact(number)) return PyUnstable_Long_CompactValue(number);
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (overflow != 0) return std::nullopt;
    if (value == -1 && PyErr_Occurred() != nullptr) {  // not expected of an exact int
        discard_error();
        return std::nullopt;
    }
    return static_cast<std::int64_t>(value);
}

}  // namespace

std::optional<velk::Value> exact_literal(PyObject* object) {
    if (object == Py_None) return velk::Value::null();
    if (PyBool_Check(object)) return velk::Value::boolean(object == Py_True);  // bool has no subclasses
    if (PyLong_CheckExact(object)) {
        if (auto number = exact_int_value(object)) return velk::Value::number(velk::Number::from_int(*number));
        return std::nullopt;  // I64 overflows; F64 decides
    }
    if (PyFloat_CheckExact(object)) return velk::Value::number(velk::Number::from_float(PyFloat_AS_DOUBLE(object)));
    if (PyUnicode_CheckExact(object)) {
        if (auto text = utf8_of(object)) return velk::Value::string(std::move(*text));
        discard_error();  // no UTF-8 form: the ordered tries report it
    }
    return std::nullopt;
}

// An exact int from 0 to 2**32-1 is U, an exact str with a UTF-8 form is
// S. Any other int fails U with an OverflowError and S after it: the
// ordered tries build that message.
std::optional<velk::Identifier> exact_identifier(PyObject* object) {
    if (PyUnicode_CheckExact(object)) {
        if (auto text = utf8_of(object)) return velk::Identifier::s(std::move(*text));
        discard_error();
        return std::nullopt;
    }
    if (PyLong_CheckExact(object)) {
        auto number = exact_int_value(object);
        if (number && *number >= 0 && *number <= std::numeric_limits<std::uint32_t>::max()) {
            return velk::Identifier::u(static_cast<std::uint32_t>(*number));
        }
    }
    return std::nullopt;
}

std::optional<velk::Value> to_value(PyObject* object) {
    if (auto value = exact_literal(object)) return value;
    auto value = PyValue::extract(object);
    if (!value) return std::nullopt;
    return std::move(*value).into_value();
}

std::optional<velk::Identifier> to_identifier(PyObject* object) {
    if (auto id = exact_identifier(object)) return id;
    auto id = PyIdentifier::extract(object);
    if (!id) return std::nullopt;
    return std::move(*id).into_identifier();
}

}  // namespace zarn
