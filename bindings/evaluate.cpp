// A program as a function: inputs in, outputs out, in one call
// (zarn_text's Program.evaluate and evaluate_many).
//
// A call runs on a scratch machine of its thread, emptied when the call
// ends rather than made and destroyed per call: its store keeps its number
// and hash key, so the hashes that the program's identifier nodes remember
// for it stay good from one call to the next, and its tables keep their
// room. Emptying forgets the entries the memos remember (velk's
// Machine::reset), so nothing of one call is seen by the next.
#include "evaluate.hpp"

#include <array>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bind_and_read.hpp"
#include "call_binding.hpp"
#include "conversions.hpp"
#include "each_item.hpp"
#include "error_text.hpp"
#include "fault_boundary.hpp"
#include "limits_and_report.hpp"
#include "method_table.hpp"
#include "signal_poll.hpp"
#include "statement_sequence.hpp"
#include "velk/eval.hpp"
#include "velk/machine.hpp"

namespace zarn {
namespace {

constexpr const char* kEvaluatorName = "zarn_runtime._Evaluator";

constexpr const char* kMakeEvaluatorParams[] = {"statements", "inputs", "outputs", "limits"};
constexpr const char* kEvaluateManyParams[] = {"evaluator", "rows", "return_failures"};

constexpr FunctionDescription kMakeEvaluator{
    .function_name = "_evaluator", .parameters = kMakeEvaluatorParams, .receiver = Receiver::Module, .positional_only = 4};
constexpr FunctionDescription kEvaluateMany{
    .function_name = "_evaluate_many", .parameters = kEvaluateManyParams, .receiver = Receiver::Module,
    .positional_only = 3};

constexpr const char* kEvaluateMethodParams[] = {"cls", "doc"};
constexpr const char* kProgramEvaluateParams[] = {"inputs"};

constexpr FunctionDescription kEvaluateMethod{
    .function_name = "_evaluate_method", .parameters = kEvaluateMethodParams, .receiver = Receiver::Module,
    .positional_only = 2};
constexpr FunctionDescription kProgramEvaluate{
    .class_name = "Program",
    .function_name = "evaluate",
    .parameters = kProgramEvaluateParams,
    .receiver = Receiver::Self,
    .positional_only = 1,
    .optional = 1,
    // No summary: the documentation is the Python declaration's, given to
    // _evaluate_method.
};

// One name a program reads first or binds, with the memo of its hash and
// entry in the store it was last met in: the scratch store of a thread
// keeps both from call to call.
struct Name {
    velk::Identifier id;
    PyRef key;             // the str it was given as: the result dict's key
    Py_hash_t hash;        // the key's
    velk::LookupMemo memo;
};

// Inputs are matched to the program's names one by one, up to this many
// names; a longer list is bound without memos.
constexpr std::size_t kMatchedInputs = 16;

// What a program keeps for its calls: its statements, its input and output
// names and, when it was given limits of its own, those.
struct Evaluator {
    velk::StatementList statements;
    std::vector<Name> inputs;   // empty when there are more than kMatchedInputs
    std::vector<Name> outputs;
    std::optional<velk::Limits> limits;  // none: the defaults at each call

    // The memo of an input's name, or kNoMemo.
    const velk::LookupMemo& memo_of(const velk::Identifier& id) const noexcept {
        for (const Name& name : inputs) {
            if (name.id == id) return name.memo;
        }
        return velk::kNoMemo;
    }

    // The input name that `key`, an exact str, is, or null: the same object
    // first (names in code are interned), then an equal str.
    const Name* input_named(PyObject* key) const noexcept {
        for (const Name& name : inputs) {
            if (name.key.get() == key) return &name;
        }
        const Py_hash_t hash = PyObject_Hash(key);  // an exact str's: cached, never fails
        for (const Name& name : inputs) {
            if (name.hash == hash && PyUnicode_Compare(name.key.get(), key) == 0) return &name;
        }
        return nullptr;
    }
};

// Each thread's scratch machine, made on its first call. Converting inputs
// can run Python code, which can call evaluate again on the same thread
// before the machine is taken: the machine is taken only once they are
// converted, and a call that finds it taken all the same uses one of its
// own. (One thread-local: in a shared library each costs a lookup.)
struct Scratch {
    std::unique_ptr<velk::Machine> machine;
    bool taken = false;
};
thread_local Scratch t_scratch;

// The machine of one call; empties the scratch machine when the call ends,
// however it ends.
class MachineLease {
public:
    MachineLease() : scratch_(t_scratch) {
        if (scratch_.taken) {
            own_.emplace(velk::Access::Exclusive);
            return;
        }
        // One user at a time: this thread, and no Python code runs while it
        // holds the machine.
        if (!scratch_.machine) scratch_.machine = std::make_unique<velk::Machine>(velk::Access::Exclusive);
        scratch_.taken = true;
        machine_ = scratch_.machine.get();
    }
    ~MachineLease() {
        if (machine_ == nullptr) return;
        machine_->reset();
        scratch_.taken = false;
    }
    MachineLease(const MachineLease&) = delete;
    MachineLease& operator=(const MachineLease&) = delete;

    velk::Machine& machine() noexcept { return machine_ != nullptr ? *machine_ : *own_; }

private:
    Scratch& scratch_;
    velk::Machine* machine_ = nullptr;      // the thread's, when it was free
    std::optional<velk::Machine> own_;      // otherwise one of this call's
};

// The inputs of the common call, converted without an identifier or a
// vector of their own: an exact dict of at most kMatchedInputs entries,
// each key an exact str that names an input of the program and each value
// of an exact built-in type. Reading them runs no Python code.
class KnownInputs {
public:
    KnownInputs() noexcept {}
    ~KnownInputs() { clear(); }
    KnownInputs(const KnownInputs&) = delete;
    KnownInputs& operator=(const KnownInputs&) = delete;

    // False, with nothing pending and nothing kept, when some entry needs
    // the general conversion (convert_bindings), which then does all of it.
    bool convert(const Evaluator& evaluator, PyObject* inputs) {
        if (convert_all(evaluator, inputs)) return true;
        clear();  // else the entries read so far would be bound twice
        return false;
    }

    void bind_all(const velk::Machine& machine) {
        for (std::size_t i = 0; i < count_; ++i) {
            Entry& entry = slots_[i].entry;
            (void)machine.bind(velk::VarKey(entry.name->id, entry.name->memo), std::move(entry.value));
        }
    }

private:
    bool convert_all(const Evaluator& evaluator, PyObject* inputs) {
        if (!PyDict_CheckExact(inputs) || PyDict_GET_SIZE(inputs) > static_cast<Py_ssize_t>(evaluator.inputs.size())) {
            return false;
        }
        Py_ssize_t at = 0;
        PyObject *key, *value;  // borrowed: no Python code runs meanwhile
        while (PyDict_Next(inputs, &at, &key, &value)) {
            const Name* name = PyUnicode_CheckExact(key) ? evaluator.input_named(key) : nullptr;
            if (name == nullptr) return false;
            auto literal = exact_literal(value);
            if (!literal) return false;
            velk::ValueRef made = velk::ValueRef::make(std::move(*literal));
            new (&slots_[count_].entry) Entry{name, std::move(made)};
            ++count_;
        }
        return true;
    }

    void clear() noexcept {
        for (std::size_t i = 0; i < count_; ++i) slots_[i].entry.~Entry();
        count_ = 0;
    }

    struct Entry {
        const Name* name;
        velk::ValueRef value;
    };
    // Room for the entries, made one by one: most calls fill a few.
    union Slot {
        Slot() noexcept {}
        ~Slot() {}
        Entry entry;
    };
    std::array<Slot, kMatchedInputs> slots_;
    std::size_t count_ = 0;  // slots_[0, count_) hold an entry
};

void bind_all(const Evaluator& evaluator, const velk::Machine& machine, Bindings& entries) {
    for (auto& [id, value] : entries) (void)machine.bind(velk::VarKey(id, evaluator.memo_of(id)), std::move(value));
}

// One call: null with a Python error pending when the inputs do not
// convert, which names `argument`; throws as a run does.
PyRef evaluate_once(const Evaluator& evaluator, PyObject* inputs, std::string_view argument) {
    KnownInputs known;
    Bindings entries;
    const bool common = inputs == Py_None || known.convert(evaluator, inputs);
    if (!common && !convert_bindings(inputs, entries)) {
        wrap_argument_error(argument);
        return PyRef();
    }
    MachineLease lease;
    velk::Machine& machine = lease.machine();
    const velk::Limits& limits = evaluator.limits ? *evaluator.limits : default_limits();
    if (!(machine.limits() == limits)) machine.set_limits(limits);
    known.bind_all(machine);
    bind_all(evaluator, machine, entries);
    velk::run(machine, std::span<const velk::Statement>(evaluator.statements.data(), evaluator.statements.size()),
              signal_poll());
    PyRef result = checked(PyDict_New());
    for (const Name& output : evaluator.outputs) {
        velk::Value copy;
        velk::ValueRef held;
        if (!machine.try_read(velk::VarKey(output.id, output.memo), copy, held)) continue;
        put_value(result.get(), output.key.get(), held ? *held : copy);
    }
    return result;
}

void release_evaluator(PyObject* capsule) {
    guarded_dealloc([&] { delete static_cast<Evaluator*>(PyCapsule_GetPointer(capsule, kEvaluatorName)); });
}

const Evaluator* evaluator_of(PyObject* object) {
    return static_cast<const Evaluator*>(PyCapsule_GetPointer(object, kEvaluatorName));
}

// The names of an iterable of str, sorted (so the result dict's order
// does not depend on hashing); null with TypeError for any other item.
bool names_of(PyObject* iterable, std::vector<Name>& out) {
    PyRef names = PyRef::steal(PySequence_List(iterable));
    if (!names || PyList_Sort(names.get()) < 0) return false;
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(names.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
        PyObject* name = PyList_GET_ITEM(names.get(), i);
        if (!PyUnicode_CheckExact(name)) {
            raise_with_message(PyExc_TypeError, "names must be str, not " + type_name_of(name));
            return false;
        }
        auto id = to_identifier(name);
        if (!id) return false;
        out.push_back(Name{std::move(*id), PyRef::borrow(name), PyObject_Hash(name), {}});
    }
    return true;
}

// _evaluator(statements, inputs, outputs, limits, /): statements a tuple of
// Statement objects, inputs and outputs iterables of str, limits None (the
// defaults at each call) or a dict of the keywords of set_default_limits.
PyObject* make_evaluator(PyObject*, PyObject* const* given, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kMakeEvaluator> args{};
        if (!bind_fast_call(kMakeEvaluator, given, nargs, kwnames, args)) return nullptr;
        auto evaluator = std::make_unique<Evaluator>();
        auto statements = to_statement_list(args[0]);
        if (!statements) return nullptr;
        evaluator->statements = std::move(*statements);
        if (!names_of(args[1], evaluator->inputs) || !names_of(args[2], evaluator->outputs)) return nullptr;
        if (evaluator->inputs.size() > kMatchedInputs) evaluator->inputs.clear();
        if (args[3] != Py_None) {
            velk::Limits limits;
            if (!limits_from_keywords(args[3], limits)) return nullptr;
            evaluator->limits = limits;
        }
        PyObject* capsule = PyCapsule_New(evaluator.get(), kEvaluatorName, release_evaluator);
        if (capsule != nullptr) evaluator.release();
        return capsule;
    });
}

// What `body` gives; when it throws, null with the error pending as Python
// sees it (a run's failure as a PanicException).
template <class Body>
PyRef catching(Body&& body) {
    try {
        return body();
    } catch (ForcedUnwind&) {
        throw;
    } catch (...) {
        if (foreign_exception()) throw;
        set_python_error_for_current_exception();
    }
    return PyRef();
}

// The PanicException pending, taken; null when another error is pending,
// which stays.
PyRef take_pending_panic() {
    PyObject* panic = panic_exception();
    if (panic == nullptr || !PyErr_ExceptionMatches(panic)) return PyRef();
    return PyRef::steal(PyErr_GetRaisedException());
}

// One row of evaluate_many under errors="return": its dict, or its
// PanicException. Null with any other error pending.
PyRef evaluate_or_failure(const Evaluator& evaluator, PyObject* row) {
    if (PyRef result = catching([&] { return evaluate_once(evaluator, row, kEvaluateMany.parameters[1]); })) {
        return result;
    }
    return take_pending_panic();
}

// _evaluate_many(evaluator, rows, return_failures, /): a list of the
// outputs' dicts; with return_failures, a row's PanicException in its place.
PyObject* evaluate_many(PyObject*, PyObject* const* given, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kEvaluateMany> args{};
        if (!bind_fast_call(kEvaluateMany, given, nargs, kwnames, args)) return nullptr;
        const Evaluator* evaluator = evaluator_of(args[0]);
        if (evaluator == nullptr) return nullptr;
        const int return_failures = PyObject_IsTrue(args[2]);
        if (return_failures < 0) return nullptr;
        PyRef results = PyRef::steal(PyList_New(0));
        if (!results) return nullptr;
        const bool done = each_item(args[1], [&](PyObject* row) {
            PyRef result = return_failures != 0 ? evaluate_or_failure(*evaluator, row)
                                                : evaluate_once(*evaluator, row, kEvaluateMany.parameters[1]);
            return result && PyList_Append(results.get(), result.get()) == 0;
        });
        return done ? results.release() : nullptr;
    });
}

// ---- Program.evaluate: a method of zarn_text's Program, called with no
// Python frame in between. The program keeps its evaluator in its
// `_evaluator` slot; a failure gets the notes of Program._note_failure.

// The names the method looks up on a program, interned by
// _evaluate_method before the method exists, and kept for the process.
struct ProgramNames {
    PyObject* evaluator = nullptr;     // _evaluator
    PyObject* note_failure = nullptr;  // _note_failure
};
ProgramNames program_names;

bool intern_program_names() {
    for (auto [slot, text] : {std::pair{&program_names.evaluator, "_evaluator"},
                              std::pair{&program_names.note_failure, "_note_failure"}}) {
        if (*slot == nullptr && (*slot = PyUnicode_InternFromString(text)) == nullptr) return false;
    }
    return true;
}

// Puts `failure` back pending with the program's notes; when adding them
// fails, that error is pending instead, `failure` its context (as Python
// chains an error raised while one is handled).
void raise_noted(PyObject* program, PyRef failure) {
    PyRef noted = PyRef::steal(PyObject_CallMethodOneArg(program, program_names.note_failure, failure.get()));
    if (noted) {
        PyErr_SetRaisedException(failure.release());
        return;
    }
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetContext(error, failure.release());
    PyErr_SetRaisedException(error);
}

// Program.evaluate(inputs=None, /): the outputs' dict.
PyObject* program_evaluate(PyObject* self, PyObject* const* given, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kProgramEvaluate> args{};
        if (!bind_fast_call(kProgramEvaluate, given, nargs, kwnames, args)) return nullptr;
        PyRef capsule = PyRef::steal(PyObject_GetAttr(self, program_names.evaluator));
        const Evaluator* evaluator = capsule ? evaluator_of(capsule.get()) : nullptr;
        if (evaluator == nullptr) return nullptr;
        PyObject* inputs = args[0] != nullptr ? args[0] : Py_None;
        PyRef result = catching([&] { return evaluate_once(*evaluator, inputs, kProgramEvaluate.parameters[0]); });
        if (!result) {
            if (PyRef failure = take_pending_panic()) raise_noted(self, std::move(failure));
        }
        return result.release();
    });
}

PyMethodDef program_evaluate_method = instance_method<kProgramEvaluate>(program_evaluate);

// The method's documentation: its text signature, then the docstring of
// the first _evaluate_method call. Kept for the process, since the method
// (and every descriptor made of it) reads it when asked.
PyObject* program_evaluate_doc = nullptr;

bool set_program_evaluate_doc(PyObject* doc) {
    if (!PyUnicode_CheckExact(doc)) {
        raise_with_message(PyExc_TypeError, "doc must be str, not " + type_name_of(doc));
        return false;
    }
    if (program_evaluate_doc != nullptr) return true;
    PyRef text = PyRef::steal(PyUnicode_FromFormat("%s%U", documentation<kProgramEvaluate>(), doc));
    if (!text) return false;
    const char* utf8 = PyUnicode_AsUTF8(text.get());
    if (utf8 == nullptr) return false;
    program_evaluate_method.ml_doc = utf8;
    program_evaluate_doc = text.release();
    return true;
}

// _evaluate_method(cls, doc, /): Program.evaluate, as a method of `cls`,
// documented by `doc`.
PyObject* evaluate_method(PyObject*, PyObject* const* given, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kEvaluateMethod> args{};
        if (!bind_fast_call(kEvaluateMethod, given, nargs, kwnames, args)) return nullptr;
        if (!PyType_Check(args[0])) {
            raise_with_message(PyExc_TypeError, "cls must be a class, not " + type_name_of(args[0]));
            return nullptr;
        }
        if (!intern_program_names() || !set_program_evaluate_doc(args[1])) return nullptr;
        return PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(args[0]), &program_evaluate_method);
    });
}

PyMethodDef functions[] = {
    module_function<kMakeEvaluator>(make_evaluator),
    module_function<kEvaluateMany>(evaluate_many),
    module_function<kEvaluateMethod>(evaluate_method),
    kMethodTableEnd,
};

}  // namespace

PyMethodDef* evaluate_functions() noexcept { return functions; }

}  // namespace zarn
