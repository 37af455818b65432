#include "conversions.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "error_text.hpp"
#include "class_object.hpp"
#include "fault_boundary.hpp"
#include "py_instance.hpp"

namespace zarn {
namespace {

// The variants of the two enumerations, as their failure text lists them.
constexpr std::string_view kValueVariants = "Null | Boolean | String | I64 | F64";
constexpr std::string_view kIdentifierVariants = "U | S";

constexpr std::size_t variant_count(std::string_view list) {
    std::size_t count = 1;
    for (char c : list) count += c == '|';
    return count;
}

// EnumFailure records one entry per variant in a fixed array, unchecked: it
// must hold every variant of either enumeration.
constexpr std::size_t kMaxVariants = 5;
static_assert(variant_count(kValueVariants) <= kMaxVariants && variant_count(kIdentifierVariants) <= kMaxVariants,
              "an enumeration with more variants than kMaxVariants would write past EnumFailure's entries");

// Room reserved up front for a statement list, at most: longer lists grow as
// they are read.
constexpr std::size_t kMaxReservedStatements = 4096;
static_assert(kMaxReservedStatements * sizeof(velk::Statement) <= (std::size_t(1) << 20),
              "a claimed length alone must not reserve more than a mebibyte");

// Collects why each variant of an enumeration refused an object, and raises
// the combined TypeError when all of them did. A variant refused by a plain
// type test gets its error built only then, so the usual path where a later
// variant accepts the object creates no exception objects.
class EnumFailure {
public:
    EnumFailure(PyObject* object, std::string_view enum_name, std::string_view variant_list)
        : object_(object), enum_name_(enum_name), variant_list_(variant_list) {}

    // The variant's type test refused the object: the conversion error with
    // `target` stands for it.
    void refused(const char* variant, const char* target) {
        entries_[count_++] = {variant, target, PyRef()};
    }
    // The variant's conversion raised the pending exception.
    void failed(const char* variant) {
        entries_[count_++] = {variant, nullptr, PyRef::steal(PyErr_GetRaisedException())};
    }

    // TypeError "failed to extract enum <name> ('<variants>')" followed by one
    // line per variant.
    void raise() {
        std::string message = "failed to extract enum " + std::string(enum_name_) + " ('" +
                              std::string(variant_list_) + "')";
        for (std::size_t i = 0; i < count_; ++i) {
            Entry& entry = entries_[i];
            if (!entry.error) {
                raise_conversion_error(object_, entry.target);
                entry.error = PyRef::steal(PyErr_GetRaisedException());
            }
            PyRef field = field_error(entry);
            message += "\n- variant ";
            message += entry.variant;
            message += " (";
            message += entry.variant;
            message += "): ";
            append_failure_text(message, field.get());
        }
        raise_with_message(PyExc_TypeError, message);
    }

private:
    struct Entry {
        const char* variant;  // variant name, e.g. "I64"
        const char* target;   // conversion-error target when `error` is empty
        PyRef error;          // what the variant's conversion raised
    };

    // TypeError "failed to extract field <enum>::<variant>.0", caused by the
    // variant's own error.
    PyRef field_error(Entry& entry) {
        std::string text = "failed to extract field " + std::string(enum_name_) +
                           "::" + entry.variant + ".0";
        PyRef message = checked(PyUnicode_FromStringAndSize(text.data(),
                                                            static_cast<Py_ssize_t>(text.size())));
        PyRef field = checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
        PyException_SetCause(field.get(), entry.error.release());  // steals
        return field;
    }

    // "<type qualname>: <str>", then ", caused by " and the same for each
    // exception down the chain of causes.
    static void append_failure_text(std::string& out, PyObject* error) {
        std::vector<PyObject*> seen;  // a cause chain may loop back on itself
        PyRef current = PyRef::borrow(error);
        while (current) {
            if (!seen.empty()) out += ", caused by ";
            seen.push_back(current.get());
            out += type_name_of(current.get());
            out += ": ";
            out += lossy_str(current.get()).value_or("<exception str() failed>");
            current = PyRef::steal(PyException_GetCause(current.get()));
            for (PyObject* earlier : seen) {
                if (current.get() == earlier) return;
            }
        }
    }

    PyObject* object_;             // the refused object (borrowed)
    std::string_view enum_name_;   // "PyValue" or "PyIdentifier"
    std::string_view variant_list_;  // variant names joined with " | "
    std::array<Entry, kMaxVariants> entries_{};
    std::size_t count_ = 0;        // entries used
};

// UTF-8 of a str; nothing, with the interpreter's error pending, for a str
// that has no UTF-8 form (a lone surrogate).
std::optional<velk::Text> utf8_of(PyObject* text) {
    // A compact ASCII str holds its UTF-8 bytes already.
    if (PyUnicode_IS_COMPACT_ASCII(text)) {
        return velk::Text(std::string_view(static_cast<const char*>(PyUnicode_DATA(text)),
                                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))));
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) return std::nullopt;
    return velk::Text(std::string_view(data, static_cast<std::size_t>(size)));
}

bool is_builtin_scalar(PyObject* object) {
    return PyLong_CheckExact(object) || PyFloat_CheckExact(object) || PyUnicode_CheckExact(object);
}

bool equals_ascii(PyObject* text, const char* ascii) {
    return PyUnicode_Check(text) && PyUnicode_CompareWithASCIIString(text, ascii) == 0;
}

// numpy's boolean scalar type, recognised by name so that numpy need not be
// installed: __module__ "numpy" and name "bool_" (or "bool" since numpy 2).
bool is_numpy_bool(PyTypeObject* type) {
    PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type),
                                                       "__module__"));
    if (!module) {
        pass_interpreter_failure();
        PyErr_Clear();
        return false;
    }
    if (!equals_ascii(module.get(), "numpy")) return false;
    PyRef name = PyRef::steal(PyType_GetName(type));
    if (!name) {
        pass_interpreter_failure();
        PyErr_Clear();
        return false;
    }
    return equals_ascii(name.get(), "bool_") || equals_ascii(name.get(), "bool");
}

// The truth value of a numpy boolean through its type's number protocol;
// nothing with an error pending.
std::optional<bool> numpy_truth(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    auto truth = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
    if (truth == nullptr) {
        std::string message = "object of type '" +
                              lossy_str(reinterpret_cast<PyObject*>(type)).value_or("?") +
                              "' does not define a '__bool__' conversion";
        raise_with_message(PyExc_TypeError, message);
        return std::nullopt;
    }
    switch (truth(object)) {
        case 0: return false;
        case 1: return true;
        default:
            if (PyErr_Occurred() == nullptr) {
                PyErr_SetString(PyExc_SystemError, "__bool__ returned an invalid result");
            }
            return std::nullopt;
    }
}

std::optional<std::int64_t> to_i64(PyObject* object) {
    long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred() != nullptr) return std::nullopt;
    return static_cast<std::int64_t>(value);
}

std::optional<double> to_f64(PyObject* object) {
    if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
    double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) return std::nullopt;
    return value;
}

std::optional<std::uint32_t> to_u32(PyObject* object) {
    unsigned long long value = 0;
    if (PyLong_Check(object)) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        PyRef index = PyRef::steal(PyNumber_Index(object));
        if (!index) return std::nullopt;
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        return std::nullopt;
    }
    if (value > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

// ---- exact built-in types ------------------------------------------------
//
// An object whose type is exactly NoneType, bool, int, float or str runs no
// user code in any conversion, and every kind tried before the one it takes
// refuses it by a plain type test (an int is neither None, a bool, a numpy
// boolean nor a str; a float has no integer form either). So its form can be
// read off its type, with the same result as the ordered tries and without
// building the exceptions those tries would discard. The exceptions to this
// are the values for which a try raises and a later one decides: an int
// outside the range of the form, and a str without a UTF-8 form. For those the
// shortcuts give up and the ordered tries run as always, messages included.

struct NoneForm {};

// The value of an exact int when it fits a signed 64-bit integer; nothing
// (no error pending) otherwise.
std::optional<std::int64_t> exact_int_value(PyObject* object) {
    auto* number = reinterpret_cast<PyLongObject*>(object);
    if (PyUnstable_Long_IsCompact(number)) return PyUnstable_Long_CompactValue(number);
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (overflow != 0) return std::nullopt;
    if (value == -1 && PyErr_Occurred() != nullptr) {  // not expected of an exact int
        PyErr_Clear();
        return std::nullopt;
    }
    return static_cast<std::int64_t>(value);
}

// Calls `make` with the literal form of an object of an exact built-in type
// (NoneForm, bool, velk::Text, std::int64_t or double); nothing, with no
// error pending, when the ordered tries must decide.
template <class Make>
auto exact_literal(PyObject* object, Make&& make) -> std::optional<decltype(make(NoneForm{}))> {
    if (object == Py_None) return make(NoneForm{});
    if (PyBool_Check(object)) return make(object == Py_True);  // bool has no subclasses
    if (PyLong_CheckExact(object)) {
        if (auto number = exact_int_value(object)) return make(*number);
        return std::nullopt;  // I64 overflows; F64 decides
    }
    if (PyFloat_CheckExact(object)) return make(PyFloat_AS_DOUBLE(object));
    if (PyUnicode_CheckExact(object)) {
        if (auto text = utf8_of(object)) return make(std::move(*text));
        PyErr_Clear();  // no UTF-8 form: the ordered tries report it
    }
    return std::nullopt;
}

// The same for identifiers: an exact int from 0 to 2**32-1 is U, an exact
// str with a UTF-8 form is S. Any other int fails U with an OverflowError
// and S after it: the ordered tries build that message.
template <class Make>
auto exact_identifier(PyObject* object, Make&& make) -> std::optional<decltype(make(std::uint32_t{}))> {
    if (PyUnicode_CheckExact(object)) {
        if (auto text = utf8_of(object)) return make(std::move(*text));
        PyErr_Clear();
        return std::nullopt;
    }
    if (PyLong_CheckExact(object)) {
        auto number = exact_int_value(object);
        if (number && *number >= 0 && *number <= std::numeric_limits<std::uint32_t>::max()) {
            return make(static_cast<std::uint32_t>(*number));
        }
    }
    return std::nullopt;
}

struct ValueMaker {
    velk::Value operator()(NoneForm) const noexcept { return velk::Value::null(); }
    velk::Value operator()(bool b) const noexcept { return velk::Value::boolean(b); }
    velk::Value operator()(velk::Text&& text) const noexcept {
        return velk::Value::string(std::move(text));
    }
    velk::Value operator()(std::int64_t n) const noexcept {
        return velk::Value::number(velk::Number::from_int(n));
    }
    velk::Value operator()(double x) const noexcept {
        return velk::Value::number(velk::Number::from_float(x));
    }
};

struct IdentifierMaker {
    velk::Identifier operator()(std::uint32_t n) const noexcept { return velk::Identifier::u(n); }
    velk::Identifier operator()(velk::Text&& text) const noexcept {
        return velk::Identifier::s(std::move(text));
    }
};

template <class T>
const T* instance_value(PyObject* object, ClassObject& cls) {
    PyTypeObject* type = cls.require();
    // The name is only needed for the error: check the type first.
    if (!PyObject_TypeCheck(object, type) && extract_instance(object, type, cls.name()) == nullptr) return nullptr;
    return &wrapped<T>(object);
}

}  // namespace

std::optional<PyValue> PyValue::extract(PyObject* object) {
    struct FormMaker {
        Form operator()(NoneForm) const noexcept {
            return Form(std::in_place_index<0>, Null{PyRef::borrow(Py_None)});
        }
        Form operator()(bool b) const noexcept { return Form(std::in_place_index<1>, b); }
        Form operator()(velk::Text&& text) const noexcept {
            return Form(std::in_place_index<2>, std::move(text));
        }
        Form operator()(std::int64_t n) const noexcept { return Form(std::in_place_index<3>, n); }
        Form operator()(double x) const noexcept { return Form(std::in_place_index<4>, x); }
    };
    if (auto form = exact_literal(object, FormMaker{})) return PyValue(std::move(*form));

    EnumFailure failure(object, "PyValue", kValueVariants);

    if (object == Py_None) return PyValue(Form(std::in_place_index<0>, Null{PyRef::borrow(object)}));
    failure.refused("Null", "NoneType");

    if (PyBool_Check(object)) return PyValue(Form(std::in_place_index<1>, object == Py_True));
    if (!is_builtin_scalar(object) && is_numpy_bool(Py_TYPE(object))) {
        if (auto truth = numpy_truth(object)) return PyValue(Form(std::in_place_index<1>, *truth));
        failure.failed("Boolean");
    } else {
        failure.refused("Boolean", "PyBool");
    }

    if (PyUnicode_Check(object)) {
        if (auto text = utf8_of(object)) return PyValue(Form(std::in_place_index<2>, std::move(*text)));
        failure.failed("String");
    } else {
        failure.refused("String", "PyString");
    }

    if (auto number = to_i64(object)) return PyValue(Form(std::in_place_index<3>, *number));
    failure.failed("I64");

    if (auto number = to_f64(object)) return PyValue(Form(std::in_place_index<4>, *number));
    failure.failed("F64");

    failure.raise();
    return std::nullopt;
}

velk::Value PyValue::into_value() && {
    switch (form_.index()) {
        case 0: return velk::Value::null();  // the reference to None goes with *this
        case 1: return velk::Value::boolean(std::get<1>(form_));
        case 2: return velk::Value::string(std::move(std::get<2>(form_)));
        case 3: return velk::Value::number(velk::Number::from_int(std::get<3>(form_)));
        default: return velk::Value::number(velk::Number::from_float(std::get<4>(form_)));
    }
}

std::optional<PyIdentifier> PyIdentifier::extract(PyObject* object) {
    struct FormMaker {
        Form operator()(std::uint32_t n) const noexcept { return Form(std::in_place_index<0>, n); }
        Form operator()(velk::Text&& text) const noexcept {
            return Form(std::in_place_index<1>, std::move(text));
        }
    };
    if (auto form = exact_identifier(object, FormMaker{})) return PyIdentifier(std::move(*form));

    EnumFailure failure(object, "PyIdentifier", kIdentifierVariants);

    if (auto number = to_u32(object)) return PyIdentifier(Form(std::in_place_index<0>, *number));
    failure.failed("U");

    if (PyUnicode_Check(object)) {
        if (auto text = utf8_of(object)) return PyIdentifier(Form(std::in_place_index<1>, std::move(*text)));
        failure.failed("S");
    } else {
        failure.refused("S", "PyString");
    }

    failure.raise();
    return std::nullopt;
}

velk::Identifier PyIdentifier::into_identifier() && {
    if (form_.index() == 0) return velk::Identifier::u(std::get<0>(form_));
    return velk::Identifier::s(std::move(std::get<1>(form_)));
}

std::optional<velk::Value> to_value(PyObject* object) {
    // Built directly, without the PyValue in between.
    if (auto value = exact_literal(object, ValueMaker{})) return value;
    auto value = PyValue::extract(object);
    if (!value) return std::nullopt;
    return std::move(*value).into_value();
}

std::optional<velk::Identifier> to_identifier(PyObject* object) {
    if (auto id = exact_identifier(object, IdentifierMaker{})) return id;
    auto id = PyIdentifier::extract(object);
    if (!id) return std::nullopt;
    return std::move(*id).into_identifier();
}

std::optional<velk::Text> to_text(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        raise_conversion_error(object, "PyString");
        return std::nullopt;
    }
    return utf8_of(object);
}

std::optional<velk::BinaryOperator> to_binary_operator(std::string_view text) {
    if (text.size() == 1) {
        switch (text[0]) {
            case '+': return velk::BinaryOperator::Add;
            case '-': return velk::BinaryOperator::Sub;
            case '*': return velk::BinaryOperator::Mul;
            case '/': return velk::BinaryOperator::Div;
            default: break;
        }
    }
    PyErr_SetString(PyExc_ValueError, "Expected one of: +, -, *, /");
    return std::nullopt;
}

std::optional<velk::Expr> to_expr(PyObject* object) {
    const auto* tree = instance_value<velk::Expr>(object, expr_class());
    if (tree == nullptr) return std::nullopt;
    return *tree;  // shared: the tree never changes
}

const velk::Statement* statement_of(PyObject* object) {
    return instance_value<velk::Statement>(object, statement_class());
}

std::optional<std::span<PyObject* const>> exact_items(PyObject* object) {
    if (!PyList_CheckExact(object) && !PyTuple_CheckExact(object)) return std::nullopt;
    return std::span<PyObject* const>(PySequence_Fast_ITEMS(object),
                                      static_cast<std::size_t>(PySequence_Fast_GET_SIZE(object)));
}

std::optional<velk::StatementList> to_statement_list(PyObject* object) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return std::nullopt;
    }
    if (!PySequence_Check(object)) {
        raise_conversion_error(object, "Sequence");
        return std::nullopt;
    }
    velk::StatementList statements;
    // The length only reserves room. A list's or tuple's length is its true
    // size; any other sequence may claim any length (sys.maxsize included)
    // and still yield few items, so its claim reserves no more than
    // kMaxReservedStatements. A sequence that cannot tell is still iterated.
    if (Py_ssize_t length = PySequence_Size(object); length >= 0) {
        const bool truthful = exact_items(object).has_value();
        statements.reserve(truthful ? static_cast<std::size_t>(length)
                                    : std::min(static_cast<std::size_t>(length), kMaxReservedStatements));
    } else {
        pass_interpreter_failure();
        PyErr_Clear();
    }
    // A list or tuple is read by index: checking its items runs no Python
    // code, so the list cannot change underneath.
    if (auto items = exact_items(object)) {
        for (PyObject* item : *items) {
            const velk::Statement* statement = statement_of(item);
            if (statement == nullptr) return std::nullopt;
            statements.push_back(*statement);  // shared: the statement never changes
        }
        return statements;
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return std::nullopt;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        const velk::Statement* statement = statement_of(item.get());
        if (statement == nullptr) return std::nullopt;
        statements.push_back(*statement);
    }
    if (PyErr_Occurred() != nullptr) return std::nullopt;
    return statements;
}

PyRef from_value(const velk::Value& value) {
    switch (value.kind()) {
        case velk::Value::Kind::Null: return PyRef::borrow(Py_None);
        case velk::Value::Kind::Boolean: return PyRef::borrow(value.as_boolean() ? Py_True : Py_False);
        case velk::Value::Kind::String: {
            const std::string_view text = value.as_string();
            return checked(
                PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        }
        case velk::Value::Kind::Number: break;
    }
    const velk::Number& number = value.as_number();
    if (number.is_int()) return checked(PyLong_FromLongLong(number.as_int()));
    return checked(PyFloat_FromDouble(number.as_float()));
}

}  // namespace zarn
