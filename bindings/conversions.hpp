// Conversions between Python objects and the language's values and trees.
//
// Every conversion from Python takes a borrowed object, never keeps it, and
// returns the converted thing, or nothing with a Python exception pending
// (the caller applies the argument-error rule). Statement lists have their
// own conversion (statement_sequence.hpp).
#pragma once

#include "py_ref.hpp"

#include <optional>
#include <string_view>

#include "velk/machine.hpp"
#include "velk/tree.hpp"
#include "velk/value.hpp"

namespace zarn {

// A literal and an identifier: the exact-type shortcut, and the ordered
// tries (ordered_tries.hpp) for the objects it declines.
std::optional<velk::Value> to_value(PyObject* object);
std::optional<velk::Identifier> to_identifier(PyObject* object);

// The shortcut alone: a literal or identifier read off an object of an
// exact built-in type (NoneType, bool, int, float, str), which runs no
// Python code; nothing, with no error pending, when the ordered tries must
// decide.
std::optional<velk::Value> exact_literal(PyObject* object);
std::optional<velk::Identifier> exact_identifier(PyObject* object);

// A str (or subclass) as UTF-8; otherwise the conversion error for "PyString".
std::optional<velk::Text> to_text(PyObject* object);

// UTF-8 of an object known to be a str; nothing, with the interpreter's error
// pending, for a str that has no UTF-8 form (a lone surrogate).
std::optional<velk::Text> utf8_of(PyObject* text);

// "+", "-", "*" or "/"; any other text raises
// ValueError "Expected one of: +, -, *, /".
std::optional<velk::BinaryOperator> to_binary_operator(std::string_view text);

// The tree held by an Expr object, shared.
std::optional<velk::Expr> to_expr(PyObject* object);

// The machine of a Velk object, used in place.
velk::Machine* to_machine(PyObject* object);

// A new Python object for a value: None, bool, str, int or float. A failing
// interpreter call is an internal fault, or passes its MemoryError on.
PyRef from_value(const velk::Value& value);

// Puts `value`, made a Python object, into `dict` under `key`; throws
// PythonErrorPending with the error pending when the interpreter fails.
void put_value(PyObject* dict, PyObject* key, const velk::Value& value);

}  // namespace zarn
