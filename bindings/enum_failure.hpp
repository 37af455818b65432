// The TypeError of a conversion that tries the variants of an enumeration in
// turn and finds that none of them accepts the object.
#pragma once

#include "fault_boundary.hpp"
#include "py_ref.hpp"

#include <array>
#include <cstddef>
#include <string_view>

namespace zarn {

// The number of variants in a " | "-separated list of their names.
constexpr std::size_t variant_count(std::string_view list) {
    std::size_t count = 1;
    for (char c : list) count += c == '|';
    return count;
}

// Collects why each variant of an enumeration refused an object, and raises
// the combined TypeError when all of them did. A variant refused by a plain
// type test gets its error built only then, so the usual path where a later
// variant accepts the object creates no exception objects.
class EnumFailure {
public:
    // The entries are a fixed array, written unchecked: every enumeration's
    // variant list must fit it (checked where the lists are written).
    static constexpr std::size_t kMaxVariants = 5;

    EnumFailure(PyObject* object, std::string_view enum_name, std::string_view variant_list)
        : object_(object), enum_name_(enum_name), variant_list_(variant_list) {}

    // The variant's type test refused the object: the conversion error with
    // `target` stands for it.
    void refused(const char* variant, const char* target) {
        entries_[count_++] = {variant, target, PyRef()};
    }
    // The variant's conversion raised the pending exception. An interrupt
    // is no refusal: it passes on (pass_interrupt).
    void failed(const char* variant) {
        pass_interrupt();
        entries_[count_++] = {variant, nullptr, PyRef::steal(PyErr_GetRaisedException())};
    }

    // TypeError "failed to extract enum <name> ('<variants>')" followed by one
    // line per variant.
    void raise();

private:
    struct Entry {
        const char* variant;  // variant name, e.g. "I64"
        const char* target;   // conversion-error target when `error` is empty
        PyRef error;          // what the variant's conversion raised
    };

    PyRef field_error(Entry& entry);

    PyObject* object_;               // the refused object (borrowed)
    std::string_view enum_name_;     // "PyValue" or "PyIdentifier"
    std::string_view variant_list_;  // variant names joined with " | "
    std::array<Entry, kMaxVariants> entries_{};
    std::size_t count_ = 0;          // entries used
};

}  // namespace zarn
