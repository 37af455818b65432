// Conversions between Python objects and the language's values and trees.
//
// Every conversion from Python takes a borrowed object, never keeps it, and
// returns the converted thing, or nothing with a Python exception pending
// (the caller applies the argument-error rule).
#pragma once

#include "py_ref.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "velk/tree.hpp"
#include "velk/value.hpp"

namespace zarn {

// The accepted Python forms of a literal, tried in this order.
class PyValue {
public:
    struct Null { PyRef none; };  // holds None until the value is built
    using Form = std::variant<Null, bool, velk::Text, std::int64_t, double>;

    static std::optional<PyValue> extract(PyObject* object);
    velk::Value into_value() &&;

private:
    explicit PyValue(Form form) noexcept : form_(std::move(form)) {}
    Form form_;  // the first form that accepted the object
};

// The accepted Python forms of an identifier: U (0 to 2**32-1), then S.
class PyIdentifier {
public:
    using Form = std::variant<std::uint32_t, velk::Text>;

    static std::optional<PyIdentifier> extract(PyObject* object);
    velk::Identifier into_identifier() &&;

private:
    explicit PyIdentifier(Form form) noexcept : form_(std::move(form)) {}
    Form form_;  // the first form that accepted the object
};

std::optional<velk::Value> to_value(PyObject* object);
std::optional<velk::Identifier> to_identifier(PyObject* object);

// A str (or subclass) as UTF-8; otherwise the conversion error for "PyString".
std::optional<velk::Text> to_text(PyObject* object);

// "+", "-", "*" or "/"; any other text raises
// ValueError "Expected one of: +, -, *, /".
std::optional<velk::BinaryOperator> to_binary_operator(std::string_view text);

// The tree held by an Expr object, shared.
std::optional<velk::Expr> to_expr(PyObject* object);

// The statement held by a Statement object (it lives as long as the
// object); null with the conversion error for "Statement" otherwise.
const velk::Statement* statement_of(PyObject* object);

// The items of an exact list or tuple, in place (borrowed); nothing for any
// other object. No Python code runs while they are read, so they cannot
// change underneath.
std::optional<std::span<PyObject* const>> exact_items(PyObject* object);

// Any sequence other than str, iterated, each item a Statement (shared).
std::optional<velk::StatementList> to_statement_list(PyObject* object);

// A new Python object for a value: None, bool, str, int or float. A failing
// interpreter call is an internal fault, or passes its MemoryError on.
PyRef from_value(const velk::Value& value);

}  // namespace zarn
