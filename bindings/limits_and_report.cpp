// zarn_runtime's settings: the limits of machines and the switch of the
// fault report. Machines have no limits and faults are reported until a
// host says otherwise, so nothing changes for a program that calls none.
#include "limits_and_report.hpp"

#include <array>
#include <iterator>
#include <optional>
#include <span>
#include <string>

#include "call_binding.hpp"
#include "conversions.hpp"
#include "error_text.hpp"
#include "fault_boundary.hpp"
#include "method_table.hpp"
#include "velk/machine.hpp"

namespace zarn {
namespace {

// Given to every machine made after set_default_limits. Accessed only under
// the interpreter lock.
velk::Limits default_limits_now;

// set_limits' parameters; the last three, in the order of Limits' fields,
// are set_default_limits' too.
constexpr const char* kSetLimitsParams[] = {"machine", "max_text", "max_bytes", "max_steps"};
constexpr std::size_t kLimitCount = 3;
constexpr std::span<const char* const> kLimitParams = std::span(kSetLimitsParams).last<kLimitCount>();
constexpr const char* kSetFaultReportParams[] = {"enabled"};

constexpr FunctionDescription kSetLimits{
    .function_name = "set_limits",
    .parameters = kSetLimitsParams,
    .receiver = Receiver::Module,
    .keyword_only = kLimitCount,
    .summary = "Sets the limits of one machine; a limit left out or None is none.",
};
constexpr FunctionDescription kSetDefaultLimits{
    .function_name = "set_default_limits",
    .parameters = kLimitParams,
    .receiver = Receiver::Module,
    .keyword_only = kLimitCount,
    .summary = "Sets the limits of every machine made after the call.",
};
constexpr FunctionDescription kSetFaultReport{
    .function_name = "set_fault_report",
    .parameters = kSetFaultReportParams,
    .receiver = Receiver::Module,
    .positional_only = 1,
    .summary = "Switches the fault report on standard error on or off for the process; returns the setting it replaces.",
};

// One limit: None (or left out) for none, else an int from 0 up; one of
// 2**64 - 1 or more can never be reached and so is none too. Nothing with
// the error pending otherwise: a TypeError for what is no int (a bool
// included), a ValueError naming the limit for a negative one.
std::optional<std::uint64_t> to_limit(PyObject* object, const char* name) {
    if (object == nullptr || object == Py_None) return velk::Limits::kUnlimited;
    if (PyBool_Check(object) || !PyIndex_Check(object)) {
        raise_conversion_error(object, "int | None");
        return std::nullopt;
    }
    PyRef number = PyRef::steal(PyNumber_Index(object));
    if (!number) return std::nullopt;
    PyRef zero = PyRef::steal(PyLong_FromLong(0));
    if (!zero) return std::nullopt;
    const int negative = PyObject_RichCompareBool(number.get(), zero.get(), Py_LT);
    if (negative < 0) return std::nullopt;
    if (negative != 0) {
        raise_with_message(PyExc_ValueError, std::string(name) + " must not be negative");
        return std::nullopt;
    }
    const std::uint64_t limit = PyLong_AsUnsignedLongLong(number.get());
    if (limit == static_cast<std::uint64_t>(-1) && PyErr_Occurred() != nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
        PyErr_Clear();
        return velk::Limits::kUnlimited;
    }
    return limit;
}

// The limits in the last three slots of `function`, converted in the order
// of Limits' fields.
bool to_limits(const FunctionDescription& function, std::span<PyObject* const> slots, velk::Limits& limits) {
    std::uint64_t* const fields[] = {&limits.max_text, &limits.max_bytes, &limits.max_steps};
    static_assert(std::size(fields) == kLimitCount);
    const std::size_t first = slots.size() - kLimitCount;
    for (std::size_t i = 0; i < kLimitCount; ++i) {
        auto limit = convert_argument(function, slots, first + i, [&](PyObject* object) {
            return to_limit(object, function.parameters[first + i]);
        });
        if (!limit) return false;
        *fields[i] = *limit;
    }
    return true;
}

PyObject* set_limits(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kSetLimits> slots{};
        if (!bind_fast_call(kSetLimits, args, nargs, kwnames, slots)) return nullptr;
        velk::Machine* machine = convert_argument(kSetLimits, slots, 0, to_machine);
        if (machine == nullptr) return nullptr;
        velk::Limits limits;
        if (!to_limits(kSetLimits, slots, limits)) return nullptr;
        machine->set_limits(limits);
        Py_RETURN_NONE;
    });
}

PyObject* set_default_limits(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kSetDefaultLimits> slots{};
        if (!bind_fast_call(kSetDefaultLimits, args, nargs, kwnames, slots)) return nullptr;
        velk::Limits limits;
        if (!to_limits(kSetDefaultLimits, slots, limits)) return nullptr;
        default_limits_now = limits;
        Py_RETURN_NONE;
    });
}

PyObject* set_fault_report(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kSetFaultReport> slots{};
        if (!bind_fast_call(kSetFaultReport, args, nargs, kwnames, slots)) return nullptr;
        auto enabled = convert_argument(kSetFaultReport, slots, 0, [](PyObject* object) -> std::optional<bool> {
            const int truth = PyObject_IsTrue(object);
            if (truth < 0) return std::nullopt;
            return truth != 0;
        });
        if (!enabled) return nullptr;
        return PyBool_FromLong(zarn::set_fault_report(*enabled));
    });
}

PyMethodDef functions[] = {
    module_function<kSetLimits>(set_limits),
    module_function<kSetDefaultLimits>(set_default_limits),
    module_function<kSetFaultReport>(set_fault_report),
    kMethodTableEnd,
};

}  // namespace

PyMethodDef* limits_and_report_functions() noexcept { return functions; }

const velk::Limits& default_limits() noexcept { return default_limits_now; }

bool limits_from_keywords(PyObject* keywords, velk::Limits& limits) {
    if (!PyDict_Check(keywords)) {
        raise_conversion_error(keywords, "dict");
        return false;
    }
    PyRef none = PyRef::steal(PyTuple_New(0));
    if (!none) return false;
    Slots<kSetDefaultLimits> slots{};
    if (!bind_classic_call(kSetDefaultLimits, none.get(), keywords, slots)) return false;
    // The slots borrow from the dict, which an __index__ that converting
    // runs may change: each value is held until all are converted.
    std::array<PyRef, kLimitCount> held;
    for (std::size_t i = 0; i < kLimitCount; ++i) held[i] = PyRef::borrow(slots[i]);
    return to_limits(kSetDefaultLimits, slots, limits);
}

}  // namespace zarn
