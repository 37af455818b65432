// Call framing shared by every function of both modules: the function's
// description (its name, parameter names and their shape, written there
// alone), binding a call's arguments to the description's slots, the
// argument-error rule for failed conversions, and the documentation, which
// starts with the text signature derived from the description.
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
    Module, // a module's function: "name($module, a)"
};

// How one function takes its arguments; drives binding, the wording of
// binding errors, the names in argument errors and the documentation.
// Parameters are positional-or-keyword and required, but for the first
// `positional_only` ("/" after them in the signature), which take no
// keyword, and the last `keyword_only` ("*" before them), which take
// nothing else and may be left out: their slot then stays null, which the
// function takes as None, as the signature shows them ("=None"). The last
// `optional` positional parameters may be left out in the same way.
struct FunctionDescription {
    std::string_view class_name = {};         // empty for a function without a class
    const char* function_name;                // NUL-terminated: the method table's name
    std::span<const char* const> parameters;  // in order; one slot each
    Receiver receiver = Receiver::None;
    std::size_t positional_only = 0;
    std::size_t keyword_only = 0;
    std::size_t optional = 0;
    std::string_view summary = {};            // the documentation after the signature

    // How many parameters a call may give positionally.
    constexpr std::size_t positional_count() const noexcept { return parameters.size() - keyword_only; }
    // How many parameters a call must give.
    constexpr std::size_t required_count() const noexcept { return positional_count() - optional; }

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

// A call that gives the positional parameters positionally (all of them,
// or all but optional ones) and no keyword at all fits: nothing is too
// many, nothing is given twice and nothing is missing.
inline bool binds_positionally(const FunctionDescription& function, std::size_t positional,
                               bool keywords) noexcept {
    return !keywords && positional <= function.positional_count() && positional >= function.required_count();
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

// Writes the documentation of `f` to `out` (when given) and returns its
// length: the text signature "name(a, b)\n--\n\n", the form the
// interpreter reads __text_signature__ from, then the summary.
constexpr std::size_t write_documentation(const FunctionDescription& f, char* out) {
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
    if (f.receiver == Receiver::Self || f.receiver == Receiver::Module) {
        put(f.receiver == Receiver::Self ? "$self" : "$module");
        separator = ", ";
    }
    for (std::size_t i = 0; i < f.parameters.size(); ++i) {
        if (f.keyword_only != 0 && i == f.positional_count()) {
            put(separator);
            put("*");
            separator = ", ";
        }
        put(separator);
        put(f.parameters[i]);
        if (i >= f.required_count()) put("=None");
        separator = ", ";
        if (i + 1 == f.positional_only) put(", /");
    }
    put(")\n--\n\n");
    put(f.summary);
    return n;
}

template <const FunctionDescription& F>
struct Documentation {
    static_assert(F.positional_only + F.keyword_only <= F.parameters.size());
    static_assert(F.optional <= F.positional_count());
    static constexpr std::size_t kLength = write_documentation(F, nullptr);
    static constexpr std::array<char, kLength + 1> kText = [] {
        std::array<char, kLength + 1> text{};  // NUL-terminated
        write_documentation(F, text.data());
        return text;
    }();
};

}  // namespace detail

// The documentation of F, built at compile time: its text signature, then
// its summary.
template <const FunctionDescription& F>
constexpr const char* documentation() noexcept {
    return detail::Documentation<F>::kText.data();
}

}  // namespace zarn
