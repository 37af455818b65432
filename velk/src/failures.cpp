// Raising a catalogued failure.
#include "failures.hpp"

#include <string>

namespace velk {

void raise(const Failure& failure) { throw EvalError(failure.message, failure.where); }

void raise(const Failure& failure, std::string_view detail) {
    std::string message(failure.message);
    message += detail;
    throw EvalError(std::move(message), failure.where);
}

}  // namespace velk
