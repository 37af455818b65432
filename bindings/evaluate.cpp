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

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
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
constexpr const char* kEvaluateParams[] = {"evaluator", "inputs"};
constexpr const char* kEvaluateManyParams[] = {"evaluator", "rows", "return_failures"};

constexpr FunctionDescription kMakeEvaluator{
    .function_name = "_evaluator", .parameters = kMakeEvaluatorParams, .receiver = Receiver::Module, .positional_only = 4};
constexpr FunctionDescription kEvaluate{
    .function_name = "_evaluate", .parameters = kEvaluateParams, .receiver = Receiver::Module, .positional_only = 2};
constexpr FunctionDescription kEvaluateMany{
    .function_name = "_evaluate_many", .parameters = kEvaluateManyParams, .receiver = Receiver::Module,
    .positional_only = 3};

// One name a program reads first or binds, with the memo of its hash and
// entry in the store it was last met in: the scratch store of a thread
// keeps both from call to call.
struct Name {
    velk::Identifier id;
    PyRef key;             // the str it was given as: the result dict's key
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
};

// Each thread's scratch machine, made on its first call. Converting inputs
// can run Python code, which can call evaluate again on the same thread
// before the machine is taken: the machine is taken only once they are
// converted, and a call that finds it taken all the same uses one of its
// own.
thread_local std::unique_ptr<velk::Machine> t_scratch;
thread_local bool t_scratch_taken = false;

// The machine of one call; empties the scratch machine when the call ends,
// however it ends.
class MachineLease {
public:
    MachineLease() {
        if (t_scratch_taken) {
            own_.emplace(velk::Access::Exclusive);
            return;
        }
        // One user at a time: this thread, and no Python code runs while it
        // holds the machine.
        if (!t_scratch) t_scratch = std::make_unique<velk::Machine>(velk::Access::Exclusive);
        t_scratch_taken = true;
        scratch_ = t_scratch.get();
    }
    ~MachineLease() {
        if (scratch_ == nullptr) return;
        scratch_->reset();
        t_scratch_taken = false;
    }
    MachineLease(const MachineLease&) = delete;
    MachineLease& operator=(const MachineLease&) = delete;

    velk::Machine& machine() noexcept { return scratch_ != nullptr ? *scratch_ : *own_; }

private:
    velk::Machine* scratch_ = nullptr;      // the thread's, when it was free
    std::optional<velk::Machine> own_;      // otherwise one of this call's
};

void bind_all(const Evaluator& evaluator, const velk::Machine& machine, Bindings& entries) {
    for (auto& [id, value] : entries) (void)machine.bind(velk::VarKey(id, evaluator.memo_of(id)), std::move(value));
}

// One call: null with a Python error pending when the inputs do not
// convert, which names `argument`; throws as a run does.
PyRef evaluate_once(const Evaluator& evaluator, PyObject* inputs, std::string_view argument) {
    Bindings entries;
    if (inputs != Py_None && !convert_bindings(inputs, entries)) {
        wrap_argument_error(argument);
        return PyRef();
    }
    MachineLease lease;
    velk::Machine& machine = lease.machine();
    const velk::Limits& limits = evaluator.limits ? *evaluator.limits : default_limits();
    if (!(machine.limits() == limits)) machine.set_limits(limits);
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
        out.push_back(Name{std::move(*id), PyRef::borrow(name), {}});
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

// _evaluate(evaluator, inputs, /): the outputs' dict.
PyObject* evaluate(PyObject*, PyObject* const* given, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kEvaluate> args{};
        if (!bind_fast_call(kEvaluate, given, nargs, kwnames, args)) return nullptr;
        const Evaluator* evaluator = evaluator_of(args[0]);
        if (evaluator == nullptr) return nullptr;
        return evaluate_once(*evaluator, args[1], kEvaluate.parameters[1]).release();
    });
}

// One row of evaluate_many under errors="return": its dict, or its
// PanicException. Null with any other error pending.
PyRef evaluate_or_failure(const Evaluator& evaluator, PyObject* row) {
    try {
        return evaluate_once(evaluator, row, kEvaluateMany.parameters[1]);
    } catch (ForcedUnwind&) {
        throw;
    } catch (...) {
        if (foreign_exception()) throw;
        set_python_error_for_current_exception();
    }
    PyObject* panic = panic_exception();
    if (panic == nullptr || !PyErr_ExceptionMatches(panic)) return PyRef();
    return PyRef::steal(PyErr_GetRaisedException());
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

PyMethodDef functions[] = {
    module_function<kMakeEvaluator>(make_evaluator),
    module_function<kEvaluate>(evaluate),
    module_function<kEvaluateMany>(evaluate_many),
    kMethodTableEnd,
};

}  // namespace

PyMethodDef* evaluate_functions() noexcept { return functions; }

}  // namespace zarn
