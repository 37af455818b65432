#include "conversions.hpp"

#include "class_object.hpp"
#include "error_text.hpp"
#include "fault_boundary.hpp"
#include "py_instance.hpp"

namespace zarn {

std::optional<velk::Text> to_text(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        raise_conversion_error(object, "PyString");
        return std::nullopt;
    }
    return utf8_of(object);
}

std::optional<velk::Text> utf8_of(PyObject* text) {
    // A compact ASCII str holds its UTF-8 bytes already.
    if (PyUnicode_IS_COMPACT_ASCII(text)) {
        return velk::Text(std::string_view(static_cast<const char*>(PyUnicode_DATA(text)),
                                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))));
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) return std::nullopt;
    return velk::Text(std::string_view(data, static_cast<std::size_t>(size)));
}

std::optional<velk::BinaryOperator> to_binary_operator(std::string_view text) {
    if (text.size() == 1) {
        switch (text[0]) {
            case '+': return velk::BinaryOperator::Add;
            case '-': return velk::BinaryOperator::Sub;
            case '*': return velk::BinaryOperator::Mul;
            case '/': return velk::BinaryOperator::Div;
            default: break;
        }
    }
    PyErr_SetString(PyExc_ValueError, "Expected one of: +, -, *, /");
    return std::nullopt;
}

std::optional<velk::Expr> to_expr(PyObject* object) {
    const auto* tree = instance_value<velk::Expr>(object, expr_class());
    if (tree == nullptr) return std::nullopt;
    return *tree;  // shared: the tree never changes
}

velk::Machine* to_machine(PyObject* object) {
    if (instance_value<velk::Machine>(object, velk_class()) == nullptr) return nullptr;
    return &wrapped<velk::Machine>(object);
}

PyRef from_value(const velk::Value& value) {
    switch (value.kind()) {
        case velk::Value::Kind::Null: return PyRef::borrow(Py_None);
        case velk::Value::Kind::Boolean: return PyRef::borrow(value.as_boolean() ? Py_True : Py_False);
        case velk::Value::Kind::String: {
            const std::string_view text = value.as_string();
            return checked(
                PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        }
        case velk::Value::Kind::Number: break;
    }
    const velk::Number& number = value.as_number();
    if (number.is_int()) return checked(PyLong_FromLongLong(number.as_int()));
    return checked(PyFloat_FromDouble(number.as_float()));
}

void put_value(PyObject* dict, PyObject* key, const velk::Value& value) {
    PyRef object = from_value(value);
    if (PyDict_SetItem(dict, key, object.get()) < 0) {
        pass_interpreter_failure();
        throw PythonErrorPending{};
    }
}

}  // namespace zarn
