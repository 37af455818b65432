// The ordered tries: the accepted Python forms of a literal and of an
// identifier, tried one after another until one accepts the object. They
// decide every object, and an object that none accepts gets the TypeError
// listing each form's refusal. to_value and to_identifier (conversions.hpp)
// run them only for the objects their exact-type shortcut declines; the
// tries stay out of line there, as their frame would slow the shortcut.
#pragma once

#include "py_ref.hpp"

#include <cstdint>
#include <optional>
#include <variant>

#include "velk/tree.hpp"
#include "velk/value.hpp"

namespace zarn {

// The accepted forms of a literal, tried in this order.
class PyValue {
public:
    struct Null { PyRef none; };  // holds None until the value is built
    using Form = std::variant<Null, bool, velk::Text, std::int64_t, double>;

    [[gnu::noinline]] static std::optional<PyValue> extract(PyObject* object);
    velk::Value into_value() &&;

private:
    explicit PyValue(Form form) noexcept : form_(std::move(form)) {}
    Form form_;  // the first form that accepted the object
};

// The accepted forms of an identifier: U (0 to 2**32-1), then S.
class PyIdentifier {
public:
    using Form = std::variant<std::uint32_t, velk::Text>;

    [[gnu::noinline]] static std::optional<PyIdentifier> extract(PyObject* object);
    velk::Identifier into_identifier() &&;

private:
    explicit PyIdentifier(Form form) noexcept : form_(std::move(form)) {}
    Form form_;  // the first form that accepted the object
};

}  // namespace zarn
