// The class Expr: static builders of expression trees. Instances are opaque
// and immutable; a builder shares its operands' trees instead of copying them.
#include <array>

#include "call_binding.hpp"
#include "class_object.hpp"
#include "conversions.hpp"
#include "fault_boundary.hpp"
#include "method_table.hpp"
#include "py_instance.hpp"

namespace zarn {
namespace {

using velk::Expr;

constexpr const char* kValue[] = {"value"};
constexpr const char* kId[] = {"id"};
constexpr const char* kAOB[] = {"a", "o", "b"};
constexpr const char* kAB[] = {"a", "b"};
constexpr const char* kItem[] = {"item"};

constexpr FunctionDescription kLiteral{"Expr", "literal", kValue, 0, 1};
constexpr FunctionDescription kIdent{"Expr", "ident", kId, 0, 1};
constexpr FunctionDescription kBinaryOp{"Expr", "binary_op", kAOB, 0, 3};
constexpr FunctionDescription kEquals{"Expr", "equals", kAB, 0, 2};
constexpr FunctionDescription kNot{"Expr", "not_", kItem, 0, 1};
constexpr FunctionDescription kGreaterThan{"Expr", "greater_than", kAB, 0, 2};
constexpr FunctionDescription kLessThan{"Expr", "less_than", kAB, 0, 2};

PyObject* new_expr(Expr tree) {
    return new_instance<Expr>(expr_class().require(), std::move(tree));
}

// ---- methods --------------------------------------------------------------

PyObject* literal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> slots{};
        if (!bind_fast_call(kLiteral, args, nargs, kwnames, slots)) return nullptr;
        auto value = convert_argument(slots[0], "value", to_value);
        if (!value) return nullptr;
        return new_expr(Expr::literal(std::move(*value)));
    });
}

PyObject* ident(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> slots{};
        if (!bind_fast_call(kIdent, args, nargs, kwnames, slots)) return nullptr;
        auto id = convert_argument(slots[0], "id", to_identifier);
        if (!id) return nullptr;
        return new_expr(Expr::ident(std::move(*id)));
    });
}

PyObject* binary_op(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 3> slots{};
        if (!bind_fast_call(kBinaryOp, args, nargs, kwnames, slots)) return nullptr;
        auto a = convert_argument(slots[0], "a", to_expr);
        if (!a) return nullptr;
        auto o = convert_argument(slots[1], "o", to_text);
        if (!o) return nullptr;
        auto b = convert_argument(slots[2], "b", to_expr);
        if (!b) return nullptr;
        // The operator text is judged only once every argument converted.
        auto op = to_binary_operator(*o);
        if (!op) return nullptr;
        return new_expr(Expr::binary_op(std::move(*a), *op, std::move(*b)));
    });
}

// equals, greater_than and less_than: two expression operands.
template <const FunctionDescription& Function, Expr (*Build)(Expr, Expr)>
PyObject* pair_builder(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 2> slots{};
        if (!bind_fast_call(Function, args, nargs, kwnames, slots)) return nullptr;
        auto a = convert_argument(slots[0], "a", to_expr);
        if (!a) return nullptr;
        auto b = convert_argument(slots[1], "b", to_expr);
        if (!b) return nullptr;
        return new_expr(Build(std::move(*a), std::move(*b)));
    });
}

PyObject* not_(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> slots{};
        if (!bind_fast_call(kNot, args, nargs, kwnames, slots)) return nullptr;
        auto item = convert_argument(slots[0], "item", to_expr);
        if (!item) return nullptr;
        return new_expr(Expr::not_(std::move(*item)));
    });
}

// ---- type specification ---------------------------------------------------

PyMethodDef expr_methods[] = {
    static_method("literal", literal, "literal(value)\n--\n\n"),
    static_method("ident", ident, "ident(id)\n--\n\n"),
    static_method("binary_op", binary_op, "binary_op(a, o, b)\n--\n\n"),
    static_method("equals", pair_builder<kEquals, Expr::equals>, "equals(a, b)\n--\n\n"),
    static_method("not_", not_, "not_(item)\n--\n\n"),
    static_method("greater_than", pair_builder<kGreaterThan, Expr::greater_than>,
                  "greater_than(a, b)\n--\n\n"),
    static_method("less_than", pair_builder<kLessThan, Expr::less_than>,
                  "less_than(a, b)\n--\n\n"),
    kMethodTableEnd,
};

const ClassDescription expr_description{
    .name = "Expr",
    .spec_name = "builtins.Expr",
    .basic_size = static_cast<int>(sizeof(PyInstance<Expr>)),
    .doc = "",
    .create = refuse_construction,
    .repr = nullptr,
    .dealloc = dealloc_instance<Expr>,
    .methods = expr_methods,
};

ClassObject expr_class_object(expr_description);

}  // namespace

ClassObject& expr_class() { return expr_class_object; }

}  // namespace zarn
