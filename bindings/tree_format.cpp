// The form of the bytes that zarn_runtime.dumps writes, handed to
// zarn_text's to_source: it reads those bytes by the codec's own tag names
// and version, and refuses at import to read a form it was not written for.
#include "tree_format.hpp"

#include <iterator>
#include <optional>
#include <utility>

#include "conversions.hpp"
#include "tree_codec.hpp"

namespace zarn {
namespace {

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

}  // namespace

bool register_tree_format(PyObject* runtime) {
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

}  // namespace zarn
