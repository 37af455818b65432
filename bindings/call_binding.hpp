// Call framing shared by every method: the function's description (its
// name and parameter names, written there alone), binding a call's
// arguments to the description's slots, the argument-error rule for failed
// conversions, and the text signature, which is derived from the
// description.
#pragma once

#include "py_ref.hpp"

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace zarn {

// What comes before the parameters in the text signature.
enum class Receiver {
    None,   // a static builder: "name(a, b)"
    Self,   // an instance method: "name($self, a)"
    Class,  // a class's constructor, shown as the class: "Class()"
};

// How one function takes its arguments; drives binding, the wording of
// binding errors, the names in argument errors and the text signature.
// Every parameter is positional-or-keyword and required.
struct FunctionDescription {
    std::string_view class_name;              // empty for a function without a class
    const char* function_name;                // NUL-terminated: the method table's name
    std::span<const char* const> parameters;  // in order; one slot each
    Receiver receiver = Receiver::None;

    // "Class.function()", or "function()" without a class.
    std::string full_name() const;
};

// One borrowed reference (or NULL) per parameter of F.
template <const FunctionDescription& F>
using Slots = std::array<PyObject*, F.parameters.size()>;

// The whole binding algorithm, for the calls that the inline binders below
// do not settle themselves.
bool bind_fast_call_in_full(const FunctionDescription& function, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots);
bool bind_classic_call_in_full(const FunctionDescription& function, PyObject* args,
                               PyObject* kwargs, std::span<PyObject*> slots);

// A call that gives every parameter positionally and no keyword at all
// fits: nothing is too many, nothing is given twice and nothing is missing.
inline bool binds_positionally(const FunctionDescription& function, std::size_t positional,
                               bool keywords) noexcept {
    return !keywords && positional == function.parameters.size();
}

inline void fill_positionally(PyObject* const* args, std::size_t count,
                              std::span<PyObject*> slots) noexcept {
    for (std::size_t i = 0; i < slots.size(); ++i) slots[i] = i < count ? args[i] : nullptr;
}

// Binds a fast call (positional arguments, then the values of the keyword
// names in `kwnames`) to `slots`. Returns false with a TypeError set when
// the call does not fit.
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

// A pending error that is exactly a TypeError becomes TypeError(`prefix` +
// its text), keeping its cause; any other exception stays as it is.
void prefix_type_error(std::string_view prefix);
// The argument-error rule, for a failed conversion of parameter `name`:
// the prefix "argument '<name>': ".
void wrap_argument_error(std::string_view name);

// Converts the argument in slot `slot` of `function`; on failure applies the
// argument-error rule with that parameter's name.
template <class Convert>
auto convert_argument(const FunctionDescription& function, std::span<PyObject* const> slots,
                      std::size_t slot, Convert&& convert) -> decltype(convert(slots[slot])) {
    auto converted = convert(slots[slot]);
    if (!converted) wrap_argument_error(function.parameters[slot]);
    return converted;
}

namespace detail {

// Writes the text signature of `f` to `out` (when given) and returns its
// length: "name(a, b)\n--\n\n", the form the interpreter reads
// __text_signature__ from.
constexpr std::size_t write_text_signature(const FunctionDescription& f, char* out) {
    std::size_t n = 0;
    auto put = [&](std::string_view piece) {
        for (char c : piece) {
            if (out != nullptr) out[n] = c;
            ++n;
        }
    };
    put(f.receiver == Receiver::Class ? f.class_name : std::string_view(f.function_name));
    put("(");
    std::string_view separator;
    if (f.receiver == Receiver::Self) {
        put("$self");
        separator = ", ";
    }
    for (const char* parameter : f.parameters) {
        put(separator);
        put(parameter);
        separator = ", ";
    }
    put(")\n--\n\n");
    return n;
}

template <const FunctionDescription& F>
struct TextSignature {
    static constexpr std::size_t kLength = write_text_signature(F, nullptr);
    static constexpr std::array<char, kLength + 1> kText = [] {
        std::array<char, kLength + 1> text{};  // NUL-terminated
        write_text_signature(F, text.data());
        return text;
    }();
};

}  // namespace detail

// The documentation of F: its text signature alone, built at compile time.
template <const FunctionDescription& F>
constexpr const char* text_signature() noexcept {
    return detail::TextSignature<F>::kText.data();
}

}  // namespace zarn
