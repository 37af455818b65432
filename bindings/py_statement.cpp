// The class Statement: static builders of statements. Instances are opaque
// and immutable; a builder shares the trees it is given instead of copying them.
#include "call_binding.hpp"
#include "class_object.hpp"
#include "conversions.hpp"
#include "fault_boundary.hpp"
#include "method_table.hpp"
#include "py_instance.hpp"
#include "statement_sequence.hpp"

namespace zarn {
namespace {

using velk::Statement;

constexpr const char* kLetParams[] = {"ident", "pxpr"};
constexpr const char* kIfParams[] = {"pxpr", "then", "otherwise"};

constexpr FunctionDescription kLet{"Statement", "let", kLetParams};
constexpr FunctionDescription kIf{"Statement", "if_", kIfParams};

PyObject* new_statement(Statement statement) {
    return new_instance<Statement>(statement_class().require(), std::move(statement));
}

// ---- methods --------------------------------------------------------------

PyObject* let(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kLet> slots{};
        if (!bind_fast_call(kLet, args, nargs, kwnames, slots)) return nullptr;
        auto id = convert_argument(kLet, slots, 0, to_identifier);
        if (!id) return nullptr;
        auto expr = convert_argument(kLet, slots, 1, to_expr);
        if (!expr) return nullptr;
        return new_statement(Statement::let(std::move(*id), std::move(*expr)));
    });
}

PyObject* if_(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Slots<kIf> slots{};
        if (!bind_fast_call(kIf, args, nargs, kwnames, slots)) return nullptr;
        auto cond = convert_argument(kIf, slots, 0, to_expr);
        if (!cond) return nullptr;
        auto then = convert_argument(kIf, slots, 1, to_statement_list);
        if (!then) return nullptr;
        auto otherwise = convert_argument(kIf, slots, 2, to_statement_list);
        if (!otherwise) return nullptr;
        return new_statement(
            Statement::if_(std::move(*cond), std::move(*then), std::move(*otherwise)));
    });
}

// ---- type specification ---------------------------------------------------

PyMethodDef statement_methods[] = {
    static_method<kLet>(let),
    static_method<kIf>(if_),
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
