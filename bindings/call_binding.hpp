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

// The whole binding algorithm, for the calls that the inline binders below
// do not settle themselves.
bool bind_fast_call_in_full(const FunctionDescription& function, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots);
bool bind_classic_call_in_full(const FunctionDescription& function, PyObject* args,
                               PyObject* kwargs, std::span<PyObject*> slots);

// A call that gives every parameter positionally and no keyword at all fits
// whatever the binding rules are: nothing is too many, nothing is given
// twice and nothing is missing.
inline bool binds_positionally(const FunctionDescription& function, std::size_t positional,
                               bool keywords) noexcept {
    return !keywords && positional == function.parameters.size() && function.keyword_only.empty();
}

inline void fill_positionally(PyObject* const* args, std::size_t count,
                              std::span<PyObject*> slots) noexcept {
    for (std::size_t i = 0; i < slots.size(); ++i) slots[i] = i < count ? args[i] : nullptr;
}

// Binds a fast call (positional arguments, then the values of the keyword
// names in `kwnames`) to `slots`, one borrowed reference or NULL per
// parameter. Returns false with a TypeError set when the call does not fit.
inline bool bind_fast_call(const FunctionDescription& function, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
    const auto positional = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
    const bool keywords = kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0;
    if (binds_positionally(function, positional, keywords)) [[likely]] {
        fill_positionally(args, positional, slots);
        return true;
    }
    return bind_fast_call_in_full(function, args, nargs, kwnames, slots);
}

// The same for a classic call: an argument tuple and an optional keyword
// dictionary (taken in dictionary order).
inline bool bind_classic_call(const FunctionDescription& function, PyObject* args,
                              PyObject* kwargs, std::span<PyObject*> slots) {
    const auto positional = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    const bool keywords = kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0;
    if (binds_positionally(function, positional, keywords)) [[likely]] {
        fill_positionally(&PyTuple_GET_ITEM(args, 0), positional, slots);
        return true;
    }
    return bind_classic_call_in_full(function, args, kwargs, slots);
}

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
inline PyObject* extract_instance(PyObject* object, PyTypeObject* type, std::string_view target) {
    if (PyObject_TypeCheck(object, type)) [[likely]] return object;
    raise_conversion_error(object, target);
    return nullptr;
}

}  // namespace zarn
