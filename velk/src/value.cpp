// Number division and structural equality of values.
#include <cstdint>
#include <limits>

#include "failures.hpp"
#include "velk/value.hpp"

namespace velk {

std::int64_t Number::int_quotient(std::int64_t a, std::int64_t b) {
    if (b == 0) raise(failures::kDivideByZero);
    if (a == std::numeric_limits<std::int64_t>::min() && b == -1) raise(failures::kDivideOverflow);
    return a / b;  // truncates toward zero
}

Number Number::div(const Number& left, const Number& right) {
    if (left.is_int() && right.is_int()) return Number::from_int(int_quotient(left.as_int(), right.as_int()));
    return Number::from_float(left.to_float() / right.to_float());
}

bool operator==(const Value& a, const Value& b) noexcept {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case Value::Kind::Null:
            return true;
        case Value::Kind::Boolean:
            return a.as_boolean() == b.as_boolean();
        case Value::Kind::String:
            return a.as_string() == b.as_string();
        case Value::Kind::Number: {
            const Number& x = a.as_number();
            const Number& y = b.as_number();
            if (x.kind() != y.kind()) return false;  // Int 1 and Float 1.0 differ
            return x.is_int() ? x.as_int() == y.as_int() : x.as_float() == y.as_float();
        }
    }
    return false;
}

}  // namespace velk
