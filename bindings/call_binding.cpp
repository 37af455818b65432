// Binding a call's arguments to a function's parameter slots, and the
// argument-error rule.
#include "call_binding.hpp"

#include <algorithm>
#include <optional>
#include <vector>

#include "error_text.hpp"
#include "fault_boundary.hpp"

namespace zarn {
namespace {

struct KeywordArgument {
    PyObject* name;   // borrowed keyword name (normally a str)
    PyObject* value;  // borrowed value
};

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string name_list(const std::vector<std::string_view>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ",";
            out += i + 1 == names.size() ? " and " : " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

void raise_type_error(std::string_view message) { raise_with_message(PyExc_TypeError, message); }

void raise_too_many_positional(const FunctionDescription& f, std::size_t given) {
    const std::string counts = f.optional == 0 ? std::to_string(f.positional_count())
                                               : "from " + std::to_string(f.required_count()) + " to " +
                                                     std::to_string(f.positional_count());
    raise_type_error(f.full_name() + " takes " + counts +
                     " positional arguments but " + std::to_string(given) +
                     (given == 1 ? " was" : " were") + " given");
}

void raise_missing(const FunctionDescription& f, const std::vector<std::string_view>& names) {
    raise_type_error(f.full_name() + " missing " + std::to_string(names.size()) +
                     " required positional " + (names.size() == 1 ? "argument: " : "arguments: ") +
                     name_list(names));
}

// Python's own form, one quoted list: 'a, b'.
void raise_positional_only_as_keyword(const FunctionDescription& f,
                                      const std::vector<std::string_view>& names) {
    std::string list;
    for (std::string_view name : names) {
        if (!list.empty()) list += ", ";
        list += name;
    }
    raise_type_error(f.full_name() +
                     " got some positional-only arguments passed as keyword arguments: '" + list + "'");
}

void raise_unexpected_keyword(const FunctionDescription& f, PyObject* keyword) {
    auto text = lossy_str(keyword);
    raise_type_error(f.full_name() + " got an unexpected keyword argument '" +
                     text.value_or("<exception str() failed>") + "'");
}

// The UTF-8 bytes of a keyword name; nothing for a name that is not text.
std::optional<std::string_view> keyword_text(PyObject* keyword) {
    if (!PyUnicode_Check(keyword)) return std::nullopt;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (data == nullptr) {
        discard_error();
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

// The slot index of the parameter called `name`.
std::optional<std::size_t> find_parameter(const FunctionDescription& f, std::string_view name) {
    for (std::size_t i = 0; i < f.parameters.size(); ++i) {
        if (name == f.parameters[i]) return i;
    }
    return std::nullopt;
}

// Raises the error for the positional-only parameters that `keywords`
// names, in the parameters' order, if it names any.
bool raise_positional_only_given(const FunctionDescription& f,
                                 std::span<const KeywordArgument> keywords) {
    std::vector<std::string_view> names;
    for (std::size_t i = 0; i < f.positional_only; ++i) {
        const bool named = std::any_of(keywords.begin(), keywords.end(), [&](const KeywordArgument& keyword) {
            return keyword_text(keyword.name) == std::string_view(f.parameters[i]);
        });
        if (named) names.push_back(f.parameters[i]);
    }
    if (names.empty()) return false;
    raise_positional_only_as_keyword(f, names);
    return true;
}

// Not named `bind`: called with a std::vector, argument-dependent lookup
// would pick std::bind instead (with libc++, whose headers declare it).
bool bind_arguments(const FunctionDescription& f, std::span<PyObject* const> positional,
                    std::span<const KeywordArgument> keywords, std::span<PyObject*> slots) {
    std::fill(slots.begin(), slots.end(), nullptr);
    if (positional.size() > f.positional_count()) {
        raise_too_many_positional(f, positional.size());
        return false;
    }
    std::copy(positional.begin(), positional.end(), slots.begin());

    for (const KeywordArgument& keyword : keywords) {
        auto text = keyword_text(keyword.name);
        auto index = text ? find_parameter(f, *text) : std::nullopt;
        if (!index || *index < f.positional_only) {
            // As Python does: positional-only names given as keywords, when
            // there are any, before the keyword that cannot be taken.
            if (!raise_positional_only_given(f, keywords)) raise_unexpected_keyword(f, keyword.name);
            return false;
        }
        if (slots[*index] != nullptr) {
            raise_type_error(f.full_name() + " got multiple values for argument '" +
                             std::string(*text) + "'");
            return false;
        }
        slots[*index] = keyword.value;
    }

    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < f.required_count(); ++i) {
        if (slots[i] == nullptr) missing.push_back(f.parameters[i]);
    }
    if (!missing.empty()) {
        raise_missing(f, missing);
        return false;
    }
    return true;
}

}  // namespace

std::string FunctionDescription::full_name() const {
    std::string name;
    if (!class_name.empty()) {
        name += class_name;
        name += '.';
    }
    name += function_name;
    name += "()";
    return name;
}

bool bind_fast_call_in_full(const FunctionDescription& function, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
    const auto positional_count = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
    std::vector<KeywordArgument> keywords;
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        keywords.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            keywords.push_back({PyTuple_GET_ITEM(kwnames, i),
                                args[static_cast<Py_ssize_t>(positional_count) + i]});
        }
    }
    return bind_arguments(function, {args, positional_count}, keywords, slots);
}

bool bind_classic_call_in_full(const FunctionDescription& function, PyObject* args,
                               PyObject* kwargs, std::span<PyObject*> slots) {
    auto* tuple = reinterpret_cast<PyTupleObject*>(args);
    std::span<PyObject* const> positional(tuple->ob_item,
                                          static_cast<std::size_t>(PyTuple_GET_SIZE(args)));
    std::vector<KeywordArgument> keywords;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) keywords.push_back({key, value});
    }
    return bind_arguments(function, positional, keywords, slots);
}

void prefix_type_error(std::string_view prefix) {
    PyRef error = PyRef::steal(PyErr_GetRaisedException());
    if (!error || Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(error.release());
        return;
    }
    std::string message = std::string(prefix) + lossy_str(error.get()).value_or("<exception str() failed>");
    PyRef text = checked(PyUnicode_FromStringAndSize(message.data(),
                                                     static_cast<Py_ssize_t>(message.size())));
    PyRef replacement = checked(PyObject_CallOneArg(PyExc_TypeError, text.get()));
    // SetCause steals; a NULL cause leaves none.
    PyException_SetCause(replacement.get(), PyException_GetCause(error.get()));
    PyErr_SetRaisedException(replacement.release());
}

void wrap_argument_error(std::string_view name) {
    prefix_type_error("argument '" + std::string(name) + "': ");
}

}  // namespace zarn
