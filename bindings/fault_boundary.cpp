#include "fault_boundary.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "thread_identity.hpp"
#include "velk/eval_error.hpp"

namespace zarn {
namespace {

constexpr const char* kPanicName = "zarn_runtime.PanicException";
constexpr const char* kPanicDoc =
    "Raised when the native code of the zarn extension fails with an internal fault.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it\n"
    "typically propagates all the way through the stack and ends the interpreter.";

// Read and written under the interpreter lock; atomic all the same, as a
// report could be written by a thread that runs the core without it.
std::atomic<bool> report_enabled{true};

// Created on the first fault and kept for the life of the process. Every
// access happens with the interpreter lock held.
PyObject* panic_exception_type = nullptr;

PyObject* get_panic_exception_type() {
    if (panic_exception_type == nullptr) {
        panic_exception_type =
            PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
    }
    return panic_exception_type;
}

std::string_view base_name(std::string_view path) {
    auto slash = path.find_last_of("/\\");  // Windows paths too
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The fault report: one line naming the thread and the position of the
// failed check, then the message.
void write_fault_report(std::string_view message, const velk::SourcePosition* where) {
    if (!report_enabled.load(std::memory_order_relaxed)) return;
    char name[kThreadNameSize] = "?";
    current_thread_name(name);
    std::fprintf(stderr, "zarn: thread '%s' (%lld) faulted", name, current_thread_id());
    if (where != nullptr) {
        std::fprintf(stderr, " at %s:%u", where->file, static_cast<unsigned>(where->line));
        // The module's own faults know no column.
        if (where->column != 0) std::fprintf(stderr, ":%u", static_cast<unsigned>(where->column));
    }
    std::fprintf(stderr, ":\n%.*s\n", static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
}

// "stmts[2].then[0]": the place as a path into the list given to run.
std::string place_text(const velk::Place& place) {
    std::string text;
    for (const velk::PlaceStep& step : place) {
        text += step.list == velk::PlaceStep::List::Run    ? "stmts"
                : step.list == velk::PlaceStep::List::Then ? ".then"
                                                           : ".otherwise";
        text += '[' + std::to_string(step.index) + ']';
    }
    return text;
}

// (2, "then", 0): the place for tools, an index, then a list name and an
// index for each `if` on the way in.
PyRef place_tuple(const velk::Place& place) {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(2 * place.size() - 1)));
    if (!tuple) return tuple;
    Py_ssize_t at = 0;
    for (const velk::PlaceStep& step : place) {
        if (step.list != velk::PlaceStep::List::Run) {
            PyObject* name = PyUnicode_FromString(step.list == velk::PlaceStep::List::Then ? "then" : "otherwise");
            if (name == nullptr) return PyRef();
            PyTuple_SET_ITEM(tuple.get(), at++, name);
        }
        PyObject* index = PyLong_FromSize_t(step.index);
        if (index == nullptr) return PyRef();
        PyTuple_SET_ITEM(tuple.get(), at++, index);
    }
    return tuple;
}

// Gives the raised PanicException its `place` and a note naming it. When
// memory runs out on the way, MemoryError takes the PanicException's place,
// as for every allocation that fails.
void add_place(const velk::Place& place) {
    std::string note;
    try {
        note = "in statement " + place_text(place);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return;
    }
    PyRef raised = PyRef::steal(PyErr_GetRaisedException());
    if (!raised) return;
    PyRef tuple = place_tuple(place);
    PyRef note_text = PyRef::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    if (!tuple || !note_text || PyObject_SetAttrString(raised.get(), "place", tuple.get()) < 0 ||
        !PyRef::steal(PyObject_CallMethod(raised.get(), "add_note", "O", note_text.get()))) {
        return;  // that failure's error is pending
    }
    PyErr_SetRaisedException(raised.release());
}

void raise_panic(std::string_view message) {
    PyObject* type = get_panic_exception_type();
    if (type == nullptr) return;  // the creation error stays pending
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

}  // namespace

PyObject* panic_exception() { return get_panic_exception_type(); }

bool set_fault_report(bool enabled) noexcept { return report_enabled.exchange(enabled, std::memory_order_relaxed); }

void forget_panic_exception() { panic_exception_type = nullptr; }

void release_panic_exception() { Py_CLEAR(panic_exception_type); }

void pass_interrupt() {
    if (PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_Exception)) throw PythonErrorPending{};
}

void pass_interpreter_failure() {
    if (PyErr_ExceptionMatches(PyExc_RecursionError) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
        throw PythonErrorPending{};
    }
    pass_interrupt();
}

void discard_error() {
    pass_interpreter_failure();
    PyErr_Clear();
}

void raise_fault(std::string message, const char* file, std::uint32_t line) {
    // `file` is a static string, as SourcePosition requires; its tail is too.
    // Column 0: the builtins give no column.
    throw velk::EvalError(std::move(message), {base_name(file).data(), line, 0});
}

PyRef checked(PyObject* result, const char* file, std::uint32_t line) {
    if (result == nullptr) {
        pass_interpreter_failure();
        if (PyErr_Occurred() != nullptr) PyErr_Print();
        raise_fault("Python API call failed", file, line);
    }
    return PyRef::steal(result);
}

void set_python_error_for_current_exception() {
    try {
        try {
            throw;
        } catch (const PythonErrorPending&) {
            // Set already.
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const velk::EvalError& e) {
            write_fault_report(e.message(), &e.where());
            raise_panic(e.message());
            if (!e.place().empty()) add_place(e.place());
        } catch (const std::exception& e) {
            write_fault_report(e.what(), nullptr);
            raise_panic(e.what());
        } catch (...) {
            constexpr std::string_view kNoMessage = "internal fault without a message";
            write_fault_report(kNoMessage, nullptr);
            raise_panic(kNoMessage);
        }
    } catch (ForcedUnwind&) {
        throw;
    } catch (...) {
        if (foreign_exception()) throw;
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

}  // namespace zarn
