// Call framing shared by every method: binding the call's arguments to
// parameter names, the argument-error rule for failed conversions, the
// type-conversion error and instance extraction.
#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace zarn {

struct KeywordOnlyParameter {
    const char* name;  // the keyword
    bool required;     // must be given
};

// How one function takes its arguments; drives binding and the wording of
// binding errors.
struct FunctionDescription {
    std::string_view class_name;             // empty for a function without a class
    std::string_view function_name;
    std::span<const char* const> parameters;  // positional-or-keyword, in order
    std::size_t positional_only = 0;          // the first ones that refuse keywords
    std::size_t required_positional = 0;      // the first ones without a default
    std::span<const KeywordOnlyParameter> keyword_only = {};

    std::size_t slot_count() const noexcept { return parameters.size() + keyword_only.size(); }
    // "Class.function()", or "function()" without a class.
    std::string full_name() const;
};

// Binds a fast call (positional arguments, then the values of the keyword
// names in `kwnames`) to `slots`, one borrowed reference or NULL per
// parameter. Returns false with a TypeError set when the call does not fit.
bool bind_fast_call(const FunctionDescription& function, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots);

// The same for a classic call: an argument tuple and an optional keyword
// dictionary (taken in dictionary order).
bool bind_classic_call(const FunctionDescription& function, PyObject* args, PyObject* kwargs,
                       std::span<PyObject*> slots);

// The argument-error rule, applied to the pending exception of a failed
// conversion of parameter `name`: a TypeError (exactly) is replaced by
// TypeError("argument '<name>': <its text>") keeping its cause; any other
// exception stays as it is.
void wrap_argument_error(std::string_view name);

// Converts one bound argument; on failure applies the argument-error rule.
template <class Convert>
auto convert_argument(PyObject* object, std::string_view name, Convert&& convert)
    -> decltype(convert(object)) {
    auto converted = convert(object);
    if (!converted) wrap_argument_error(name);
    return converted;
}

// TypeError "'<type qualname>' object cannot be converted to '<target>'".
void raise_conversion_error(PyObject* object, std::string_view target);

// The qualified name of `type` as UTF-8, or nothing (no error pending).
std::optional<std::string> type_qualname(PyTypeObject* type);

// Raises `type` with a UTF-8 message (which may hold NUL characters).
void raise_with_message(PyObject* type, std::string_view message);

// `str(object)` as UTF-8; text without a UTF-8 form gets replacement
// characters. Nothing, with no error pending, when str() fails.
std::optional<std::string> lossy_str(PyObject* object);

// Instance extraction: `object` itself when its type is `type` or a subtype,
// otherwise NULL with the conversion error naming `target`.
PyObject* extract_instance(PyObject* object, PyTypeObject* type, std::string_view target);

}  // namespace zarn
