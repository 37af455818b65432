// The class Expr: static builders of expression trees. Instances are opaque
// and immutable; a builder shares its operands' trees instead of copying them.
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
constexpr const char* kBinaryOpParams[] = {"a", "o", "b"};
constexpr const char* kPairParams[] = {"a", "b"};
constexpr const char* kItem[] = {"item"};

constexpr FunctionDescription kLiteral{"Expr", "literal", kValue};
constexpr FunctionDescription kIdent{"Expr", "ident", kId};
constexpr FunctionDescription kBinaryOp{"Expr", "binary_op", kBinaryOpParams};
constexpr FunctionDescription kEquals{"Expr", "equals", kPairParams};
constexpr FunctionDescription kNot{"Expr", "not_", kItem};
constexpr FunctionDescription kGreaterThan{"Expr", "greater_than", kPairParams};
constexpr FunctionDescription kLessThan{"Expr", "less_than", kPairParams};

PyObject* new_expr(Expr tree) {
    return new_instance<Expr>(expr_class().require(), std::move(tree));
}

// ---- methods --------------------------------------------------------------

PyObject* literal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kLiteral> slots{};
        if (!bind_fast_call(kLiteral, args, nargs, kwnames, slots)) return nullptr;
        auto value = convert_argument(kLiteral, slots, 0, to_value);
        if (!value) return nullptr;
        return new_expr(Expr::literal(std::move(*value)));
    });
}

PyObject* ident(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kIdent> slots{};
        if (!bind_fast_call(kIdent, args, nargs, kwnames, slots)) return nullptr;
        auto id = convert_argument(kIdent, slots, 0, to_identifier);
        if (!id) return nullptr;
        return new_expr(Expr::ident(std::move(*id)));
    });
}

PyObject* binary_op(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kBinaryOp> slots{};
        if (!bind_fast_call(kBinaryOp, args, nargs, kwnames, slots)) return nullptr;
        auto a = convert_argument(kBinaryOp, slots, 0, to_expr);
        if (!a) return nullptr;
        auto o = convert_argument(kBinaryOp, slots, 1, to_text);
        if (!o) return nullptr;
        auto b = convert_argument(kBinaryOp, slots, 2, to_expr);
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
                       PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<Function> slots{};
        if (!bind_fast_call(Function, args, nargs, kwnames, slots)) return nullptr;
        auto a = convert_argument(Function, slots, 0, to_expr);
        if (!a) return nullptr;
        auto b = convert_argument(Function, slots, 1, to_expr);
        if (!b) return nullptr;
        return new_expr(Build(std::move(*a), std::move(*b)));
    });
}

PyObject* not_(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kNot> slots{};
        if (!bind_fast_call(kNot, args, nargs, kwnames, slots)) return nullptr;
        auto item = convert_argument(kNot, slots, 0, to_expr);
        if (!item) return nullptr;
        return new_expr(Expr::not_(std::move(*item)));
    });
}

// ---- type specification ---------------------------------------------------

PyMethodDef expr_methods[] = {
    static_method<kLiteral>(literal),
    static_method<kIdent>(ident),
    static_method<kBinaryOp>(binary_op),
    static_method<kEquals>(pair_builder<kEquals, Expr::equals>),
    static_method<kNot>(not_),
    static_method<kGreaterThan>(pair_builder<kGreaterThan, Expr::greater_than>),
    static_method<kLessThan>(pair_builder<kLessThan, Expr::less_than>),
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
