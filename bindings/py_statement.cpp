// The class Statement: static builders of statements. Instances are opaque
// and immutable; a builder shares the trees it is given instead of copying them.
#include <array>

#include "call_binding.hpp"
#include "class_object.hpp"
#include "conversions.hpp"
#include "fault_boundary.hpp"
#include "method_table.hpp"
#include "py_instance.hpp"

namespace zarn {
namespace {

using velk::Statement;

constexpr const char* kLetParams[] = {"ident", "pxpr"};
constexpr const char* kIfParams[] = {"pxpr", "then", "otherwise"};

constexpr FunctionDescription kLet{"Statement", "let", kLetParams, 0, 2};
constexpr FunctionDescription kIf{"Statement", "if_", kIfParams, 0, 3};

PyObject* new_statement(Statement statement) {
    return new_instance<Statement>(statement_class().require(), std::move(statement));
}

// ---- methods --------------------------------------------------------------

PyObject* let(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 2> slots{};
        if (!bind_fast_call(kLet, args, nargs, kwnames, slots)) return nullptr;
        auto id = convert_argument(slots[0], "ident", to_identifier);
        if (!id) return nullptr;
        auto expr = convert_argument(slots[1], "pxpr", to_expr);
        if (!expr) return nullptr;
        return new_statement(Statement::let(std::move(*id), std::move(*expr)));
    });
}

PyObject* if_(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 3> slots{};
        if (!bind_fast_call(kIf, args, nargs, kwnames, slots)) return nullptr;
        auto cond = convert_argument(slots[0], "pxpr", to_expr);
        if (!cond) return nullptr;
        auto then = convert_argument(slots[1], "then", to_statement_list);
        if (!then) return nullptr;
        auto otherwise = convert_argument(slots[2], "otherwise", to_statement_list);
        if (!otherwise) return nullptr;
        return new_statement(
            Statement::if_(std::move(*cond), std::move(*then), std::move(*otherwise)));
    });
}

// ---- type specification ---------------------------------------------------

PyMethodDef statement_methods[] = {
    static_method("let", let, "let(ident, pxpr)\n--\n\n"),
    static_method("if_", if_, "if_(pxpr, then, otherwise)\n--\n\n"),
    kMethodTableEnd,
};

const ClassDescription statement_description{
    .name = "Statement",
    .spec_name = "builtins.Statement",
    .basic_size = static_cast<int>(sizeof(PyInstance<Statement>)),
    .doc = "",
    .create = refuse_construction,
    .repr = nullptr,
    .dealloc = dealloc_instance<Statement>,
    .methods = statement_methods,
};

ClassObject statement_class_object(statement_description);

}  // namespace

ClassObject& statement_class() { return statement_class_object; }

}  // namespace zarn
