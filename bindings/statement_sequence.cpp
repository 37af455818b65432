#include "statement_sequence.hpp"

#include <algorithm>
#include <cstddef>

#include "class_object.hpp"
#include "error_text.hpp"
#include "fault_boundary.hpp"
#include "py_instance.hpp"
#include "velk/eval.hpp"

namespace zarn {
namespace {

// Room reserved up front for the statements of a sequence other than an exact
// list or tuple, at most: such a sequence may claim any length (sys.maxsize
// included) and still yield few items. Longer lists grow as they are read.
constexpr std::size_t kMaxReservedStatements = 4096;
static_assert(kMaxReservedStatements * sizeof(velk::Statement) <= (std::size_t(1) << 20),
              "a claimed length alone must not reserve more than a mebibyte");

// The items of an exact list or tuple, in place (borrowed); nothing for any
// other object.
std::optional<std::span<PyObject* const>> exact_items(PyObject* object) {
    if (!PyList_CheckExact(object) && !PyTuple_CheckExact(object)) return std::nullopt;
    return std::span<PyObject* const>(PySequence_Fast_ITEMS(object),
                                      static_cast<std::size_t>(PySequence_Fast_GET_SIZE(object)));
}

// Checks every item of an exact list or tuple in order, handing each
// statement to `take` (shared); false at the first item that is not one.
template <class Take>
bool check_items(std::span<PyObject* const> items, Take&& take) {
    for (PyObject* item : items) {
        const velk::Statement* statement = statement_of(item);
        if (statement == nullptr) return false;
        take(*statement);
    }
    return true;
}

// Any sequence but an exact list or tuple, iterated; each item a Statement.
std::optional<velk::StatementList> gather(PyObject* object) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return std::nullopt;
    }
    if (!PySequence_Check(object)) {
        raise_conversion_error(object, "Sequence");
        return std::nullopt;
    }
    velk::StatementList statements;
    // The length only reserves room; a sequence that cannot tell is still
    // iterated.
    if (Py_ssize_t length = PySequence_Size(object); length >= 0) {
        statements.reserve(std::min(static_cast<std::size_t>(length), kMaxReservedStatements));
    } else {
        discard_error();
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return std::nullopt;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        const velk::Statement* statement = statement_of(item.get());
        if (statement == nullptr) return std::nullopt;
        statements.push_back(*statement);  // shared: the statement never changes
    }
    if (PyErr_Occurred() != nullptr) return std::nullopt;
    return statements;
}

}  // namespace

const velk::Statement* statement_of(PyObject* object) {
    return instance_value<velk::Statement>(object, statement_class());
}

std::optional<StatementSequence> StatementSequence::extract(PyObject* object) {
    if (auto items = exact_items(object)) {
        if (!check_items(*items, [](const velk::Statement&) {})) return std::nullopt;
        return StatementSequence(InPlace{object});
    }
    auto gathered = gather(object);
    if (!gathered) return std::nullopt;
    return StatementSequence(std::move(*gathered));
}

namespace {

// A run of an exact list or tuple where it lies, with the run's poll. The
// poll may run Python code, which may change a list: from the first poll
// on, the statement being run is held, and each next one is read from the
// list as it is then and checked as the argument's items were.
struct InPlaceRun {
    PyObject* sequence;           // borrowed
    Py_ssize_t count;             // its length as the run began
    PyObject* running = nullptr;  // the item being run
    PyRef held;                   // `running`, once a poll came while it ran
    bool polled = false;
    velk::Poll poll;

    static void check(void* context) {
        auto& run = *static_cast<InPlaceRun*>(context);
        // No Python code ran since `running` was read from the sequence, or
        // a poll held it already.
        if (run.held.get() != run.running) run.held = PyRef::borrow(run.running);
        run.polled = true;
        run.poll();
    }
    static const velk::Statement& at(const void* context, std::size_t i) {
        auto& run = *static_cast<InPlaceRun*>(const_cast<void*>(context));
        run.running = run.polled ? run.reread(static_cast<Py_ssize_t>(i)) : PySequence_Fast_ITEMS(run.sequence)[i];
        return wrapped<velk::Statement>(run.running);
    }
    // Once polled, every statement's read: two checks in line.
    PyObject* reread(Py_ssize_t i) const {
        if (PySequence_Fast_GET_SIZE(sequence) != count) [[unlikely]] {
            PyErr_SetString(PyExc_RuntimeError, "the statement list changed size during the run");
            throw PythonErrorPending{};
        }
        PyObject* item = PySequence_Fast_ITEMS(sequence)[i];
        if (!PyObject_TypeCheck(item, statement_class().require()) && statement_of(item) == nullptr) [[unlikely]] {
            throw PythonErrorPending{};
        }
        return item;
    }
};

}  // namespace

void StatementSequence::run(const velk::Machine& machine, velk::Poll poll) const {
    if (const auto* in_place = std::get_if<InPlace>(&statements_)) {
        PyObject* sequence = in_place->sequence;
        InPlaceRun run{sequence, PySequence_Fast_GET_SIZE(sequence), nullptr, PyRef(), false, poll};
        velk::run(machine, &run, static_cast<std::size_t>(run.count), InPlaceRun::at,
                  poll ? velk::Poll{InPlaceRun::check, &run} : velk::Poll{});
        return;
    }
    velk::run(machine, std::get<velk::StatementList>(statements_), poll);
}

std::optional<velk::StatementList> to_statement_list(PyObject* object) {
    auto items = exact_items(object);
    if (!items) return gather(object);
    velk::StatementList statements;
    statements.reserve(items->size());
    // Each statement is copied as its item is checked: one pass over the items.
    if (!check_items(*items, [&](const velk::Statement& statement) { statements.push_back(statement); })) {
        return std::nullopt;
    }
    return statements;
}

}  // namespace zarn
