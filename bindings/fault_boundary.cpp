#include "fault_boundary.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string_view>

#include "velk/eval_error.hpp"

namespace zarn {
namespace {

constexpr const char* kPanicName = "zarn_runtime.PanicException";
constexpr const char* kPanicDoc =
    "Raised when the native code of the zarn extension fails with an internal fault.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it\n"
    "typically propagates all the way through the stack and ends the interpreter.";

// Linux limits thread names to 15 bytes plus the terminator.
constexpr std::size_t kThreadNameSize = 16;

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
    auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The fault report: one line naming the thread and the position of the
// failed check, then the message.
void write_fault_report(std::string_view message, const velk::SourcePosition* where) {
    char name[kThreadNameSize] = "?";
    pthread_getname_np(pthread_self(), name, sizeof name);
    // The system call: glibc's gettid (2.30) is newer than the wheels' glibc.
    std::fprintf(stderr, "zarn: thread '%s' (%ld) faulted", name, ::syscall(SYS_gettid));
    if (where != nullptr) {
        std::fprintf(stderr, " at %s:%u", where->file, static_cast<unsigned>(where->line));
        // The module's own faults know no column.
        if (where->column != 0) std::fprintf(stderr, ":%u", static_cast<unsigned>(where->column));
    }
    std::fprintf(stderr, ":\n%.*s\n", static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
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

void raise_fault(std::string message, const char* file, std::uint32_t line) {
    // `file` is a static string, as SourcePosition requires; its tail is too.
    // Column 0: the builtins give no column.
    throw velk::EvalError(std::move(message), {base_name(file).data(), line, 0});
}

PyRef checked(PyObject* result, const char* file, std::uint32_t line) {
    if (result == nullptr) {
        if (PyErr_Occurred() != nullptr) PyErr_Print();
        raise_fault("Python API call failed", file, line);
    }
    return PyRef::steal(result);
}

void set_python_error_for_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const velk::EvalError& e) {
            write_fault_report(e.message(), &e.where());
            raise_panic(e.message());
        } catch (const std::exception& e) {
            write_fault_report(e.what(), nullptr);
            raise_panic(e.what());
        } catch (...) {
            constexpr std::string_view kNoMessage = "internal fault without a message";
            write_fault_report(kNoMessage, nullptr);
            raise_panic(kNoMessage);
        }
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

}  // namespace zarn
