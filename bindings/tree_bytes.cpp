// Trees as bytes: zarn_runtime.dumps and loads, the pickling of Expr and
// Statement objects through them (copyreg), and the form of those bytes by
// name (_TREE_FORMAT), handed to zarn_text's to_source: it reads the bytes
// by the codec's own tag names and version, and refuses at import to read a
// form it was not written for.
#include "tree_bytes.hpp"

#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "call_binding.hpp"
#include "class_object.hpp"
#include "conversions.hpp"
#include "error_text.hpp"
#include "fault_boundary.hpp"
#include "method_table.hpp"
#include "py_instance.hpp"
#include "tree_codec.hpp"

namespace zarn {
namespace {

constexpr const char* kDumpsParams[] = {"tree"};
constexpr const char* kLoadsParams[] = {"data"};

constexpr FunctionDescription kDumps{
    .function_name = "dumps",
    .parameters = kDumpsParams,
    .receiver = Receiver::Module,
    .positional_only = 1,
    .summary = "The bytes of an Expr or Statement tree, which loads() turns back into it.",
};
constexpr FunctionDescription kLoads{
    .function_name = "loads",
    .parameters = kLoadsParams,
    .receiver = Receiver::Module,
    .positional_only = 1,
    .summary = "The Expr or Statement tree whose bytes dumps() gave.",
};
// copyreg's reducer, kept out of the module's names.
constexpr FunctionDescription kReduceTree{
    .function_name = "_reduce_tree",
    .parameters = kDumpsParams,
    .receiver = Receiver::Module,
    .positional_only = 1,
};

// The tree an Expr or Statement object holds, or nothing with the
// conversion error.
std::optional<velk::Tree> to_tree(PyObject* object) {
    if (PyObject_TypeCheck(object, expr_class().require())) return wrapped<velk::Expr>(object);
    if (PyObject_TypeCheck(object, statement_class().require())) return wrapped<velk::Statement>(object);
    raise_conversion_error(object, "Expr | Statement");
    return std::nullopt;
}

// The bytes of the tree in slot 0 of `function`'s call.
PyObject* tree_bytes(const FunctionDescription& function, std::span<PyObject* const> slots) {
    auto tree = convert_argument(function, slots, 0, to_tree);
    if (!tree) return nullptr;
    const std::string bytes = velk::encode_tree(*tree);
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* dumps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kDumps> slots{};
        if (!bind_fast_call(kDumps, args, nargs, kwnames, slots)) return nullptr;
        return tree_bytes(kDumps, slots);
    });
}

// The tree of a bytes-like object; nothing with the error pending.
std::optional<velk::Tree> tree_of_bytes(PyObject* data) {
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return std::nullopt;
    std::string error;
    std::optional<velk::Tree> tree;
    try {
        tree = velk::decode_tree({static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)}, error);
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    PyBuffer_Release(&view);
    if (!tree) raise_with_message(PyExc_ValueError, "damaged tree data: " + error);
    return tree;
}

PyObject* loads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kLoads> slots{};
        if (!bind_fast_call(kLoads, args, nargs, kwnames, slots)) return nullptr;
        auto tree = convert_argument(kLoads, slots, 0, tree_of_bytes);
        if (!tree) return nullptr;
        if (auto* e = std::get_if<velk::Expr>(&*tree)) return new_instance<velk::Expr>(expr_class().require(), std::move(*e));
        return new_instance<velk::Statement>(statement_class().require(), std::move(std::get<velk::Statement>(*tree)));
    });
}

// copyreg's reducer for both classes: (loads, (dumps(tree),)).
PyObject* reduce_tree(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kReduceTree> slots{};
        if (!bind_fast_call(kReduceTree, args, nargs, kwnames, slots)) return nullptr;
        PyRef bytes = PyRef::steal(tree_bytes(kReduceTree, slots));
        if (!bytes) return nullptr;
        PyRef load = PyRef::steal(PyObject_GetAttrString(module, kLoads.function_name));
        if (!load) return nullptr;
        return Py_BuildValue("O(O)", load.get(), bytes.get());
    });
}

PyMethodDef functions[] = {
    module_function<kDumps>(dumps),
    module_function<kLoads>(loads),
    kMethodTableEnd,
};

PyMethodDef reduce_function = module_function<kReduceTree>(reduce_tree);

// Makes pickle and copy take Expr and Statement objects through
// `runtime`'s dumps and loads (copyreg).
bool register_tree_pickling(PyObject* runtime) {
    PyRef reducer = PyRef::steal(PyCFunction_NewEx(&reduce_function, runtime, nullptr));
    if (!reducer) return false;
    PyRef copyreg = PyRef::steal(PyImport_ImportModule("copyreg"));
    if (!copyreg) return false;
    for (ClassObject* cls : {&expr_class(), &statement_class()}) {
        PyRef done = PyRef::steal(PyObject_CallMethod(copyreg.get(), "pickle", "OO",
                                                      reinterpret_cast<PyObject*>(cls->require()), reducer.get()));
        if (!done) return false;
    }
    return true;
}

using namespace velk::tree_tag;

// The name zarn_text knows each record by.
constexpr std::pair<const char*, Tag> kTagNames[] = {
    {"null", kNull},     {"false", kFalse},       {"true", kTrue},         {"int", kInt},
    {"float", kFloat},   {"text", kText},         {"number_name", kVariableU}, {"text_name", kVariableS},
    {"binary", kBinaryOp}, {"equals", kEquals},   {"not", kNot},           {"greater_than", kGreaterThan},
    {"less_than", kLessThan}, {"let", kLet},      {"if", kIf},
};

constexpr const char* kOperators[] = {"+", "-", "*", "/"};

// ((name, number), ...) from `count` pairs that `pair(i)` makes.
template <typename Pair>
PyRef pairs(Py_ssize_t count, Pair pair) {
    PyRef out = PyRef::steal(PyTuple_New(count));
    if (!out) return out;
    for (Py_ssize_t i = 0; i < count; ++i) {
        auto [name, number] = pair(i);
        PyObject* item = Py_BuildValue("(si)", name, static_cast<int>(number));
        if (item == nullptr) return PyRef();
        PyTuple_SET_ITEM(out.get(), i, item);
    }
    return out;
}

// Sets `runtime._TREE_FORMAT`: (magic, version, ((tag name, tag), ...),
// ((operator, byte), ...)), all taken from the codec.
bool export_tree_format(PyObject* runtime) {
    PyRef tags = pairs(std::size(kTagNames), [](Py_ssize_t i) { return kTagNames[i]; });
    if (!tags) return false;
    PyRef operators = pairs(std::size(kOperators), [](Py_ssize_t i) {
        const std::optional<velk::BinaryOperator> op = to_binary_operator(kOperators[i]);  // the one mapping
        return std::pair{kOperators[i], static_cast<std::uint8_t>(*op)};
    });
    if (!operators) return false;
    PyRef format = PyRef::steal(Py_BuildValue("(y#iOO)", velk::kTreeCodecMagic,
                                              static_cast<Py_ssize_t>(sizeof velk::kTreeCodecMagic),
                                              static_cast<int>(velk::kTreeCodecVersion), tags.get(), operators.get()));
    if (!format) return false;
    return PyObject_SetAttrString(runtime, "_TREE_FORMAT", format.get()) == 0;
}

}  // namespace

PyMethodDef* tree_bytes_functions() noexcept { return functions; }

bool register_tree_bytes(PyObject* runtime) { return register_tree_pickling(runtime) && export_tree_format(runtime); }

}  // namespace zarn
