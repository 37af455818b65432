// Text of Python objects for error messages, and raising errors with it:
// the helpers every part of the module reports failures through. When the
// interpreter itself fails in them (RecursionError, MemoryError) they throw
// PythonErrorPending (fault_boundary.hpp) with that error pending.
#pragma once

#include "py_ref.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace zarn {

// TypeError "'<type qualname>' object cannot be converted to '<target>'".
void raise_conversion_error(PyObject* object, std::string_view target);

// The qualified name of `type` as UTF-8, or nothing (no error pending).
std::optional<std::string> type_qualname(PyTypeObject* type);

// The qualified name of `object`'s type for a message, or
// "<failed to extract type name>".
std::string type_name_of(PyObject* object);

// Raises `type` with a UTF-8 message (which may hold NUL characters).
void raise_with_message(PyObject* type, std::string_view message);

// `str(object)` as UTF-8; text without a UTF-8 form gets replacement
// characters. Nothing, with no error pending, when str() fails.
std::optional<std::string> lossy_str(PyObject* object);

// Instance extraction: `object` itself when its type is `type` or a subtype,
// otherwise NULL with the conversion error naming `target`.
inline PyObject* extract_instance(PyObject* object, PyTypeObject* type, std::string_view target) {
    if (PyObject_TypeCheck(object, type)) [[likely]] return object;
    raise_conversion_error(object, target);
    return nullptr;
}

}  // namespace zarn
