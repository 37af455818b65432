"""Conversion of Python objects into literals, identifiers, operators and trees."""

import fractions
import math

import numpy
import pytest
import zarn
from hypothesis import given, settings
from hypothesis import strategies as st
from zarn_runtime import bind

import reference_model as model

from support import (
    PanicException,
    argument_error,
    assert_same_value,
    conversion_error,
    evaluate,
    identifier_failure,
    interpreter_error,
    literal_failure,
    raises_exactly,
    raises_panic,
    same_value,
)

Expr, Statement, Velk = zarn.Expr, zarn.Statement, zarn.Velk


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


class OnlyFloat:
    def __float__(self):
        return 2.25


class RaisingIndex:
    """__index__ fails with a TypeError that has a cause of its own."""

    def __index__(self):
        raise TypeError("index refused") from KeyError("k")


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class IndexWithUnprintableCause:
    def __index__(self):
        raise TypeError("outer") from Unprintable()


def _fake_numpy_bool(namespace):
    cls = type("bool_", (), namespace)
    cls.__module__ = "numpy"
    return cls


# --------------------------------------------------------------------------
# Literals

LITERALS = [
    (None, None),
    (True, True),
    (False, False),
    (0, 0),
    (-1, -1),
    (2**63 - 1, 2**63 - 1),
    (-(2**63), -(2**63)),
    (2**63, 9.223372036854775808e18),
    (-(2**63) - 1, -9.223372036854775808e18),
    (2**64 + 1, 1.8446744073709552e19),
    (10**300, 1e300),
    (1.5, 1.5),
    (-0.0, -0.0),
    (math.inf, math.inf),
    (-math.inf, -math.inf),
    ("", ""),
    ("x", "x"),
    ("a\0b", "a\0b"),
    (IntSub(7), 7),
    (FloatSub(2.5), 2.5),
    (StrSub("sub"), "sub"),
    (Index(11), 11),
    (Index(2**63), 9.223372036854775808e18),
    (OnlyFloat(), 2.25),
    (fractions.Fraction(1, 4), 0.25),
    (numpy.True_, True),
    (numpy.False_, False),
    (numpy.int64(-5), -5),
    (numpy.float64(0.125), 0.125),
    (_fake_numpy_bool({"__bool__": lambda self: True})(), True),
    (_fake_numpy_bool({"__bool__": lambda self: False})(), False),
]


@pytest.mark.parametrize("obj, expected", LITERALS, ids=[repr(o[0])[:40] for o in LITERALS])
def test_accepted_literals(obj, expected):
    assert_same_value(evaluate(Expr.literal(obj)), expected)


def test_literal_nan_keeps_its_bits():
    for nan in (math.nan, -math.nan):
        got = evaluate(Expr.literal(nan))
        assert math.isnan(got) and math.copysign(1, got) == math.copysign(1, nan)


def test_literal_list_six_line_message():
    expected = (
        "argument 'value': failed to extract enum PyValue ('Null | Boolean | String | I64 | F64')\n"
        "- variant Null (Null): TypeError: failed to extract field PyValue::Null.0, caused by TypeError: "
        "'list' object cannot be converted to 'NoneType'\n"
        "- variant Boolean (Boolean): TypeError: failed to extract field PyValue::Boolean.0, caused by TypeError: "
        "'list' object cannot be converted to 'PyBool'\n"
        "- variant String (String): TypeError: failed to extract field PyValue::String.0, caused by TypeError: "
        "'list' object cannot be converted to 'PyString'\n"
        "- variant I64 (I64): TypeError: failed to extract field PyValue::I64.0, caused by TypeError: "
        "'list' object cannot be interpreted as an integer\n"
        "- variant F64 (F64): TypeError: failed to extract field PyValue::F64.0, caused by TypeError: "
        "must be real number, not list"
    )
    with raises_exactly(TypeError, expected) as info:
        Expr.literal([1])
    assert len(str(info.value).split("\n")) == 6
    assert expected == argument_error("value", literal_failure([1]))


REFUSED_LITERALS = [
    10**400,
    -(10**400),
    Index(10**400),
    [1],
    (),
    {},
    b"x",
    bytearray(b"1"),
    1j,
    object(),
    "\ud800",
    "ok\udfffok",
    Expr.literal(1),
    RaisingIndex(),
    IndexWithUnprintableCause(),
    _fake_numpy_bool({"__bool__": lambda self: 1 / 0})(),
]


@pytest.mark.parametrize("obj", REFUSED_LITERALS, ids=[type(o).__name__ for o in REFUSED_LITERALS])
def test_refused_literals(obj):
    with raises_exactly(TypeError, argument_error("value", literal_failure(obj))):
        Expr.literal(obj)


def test_refused_literal_text_pins_the_cause_chain():
    text = literal_failure(RaisingIndex())
    assert (
        "- variant I64 (I64): TypeError: failed to extract field PyValue::I64.0, caused by "
        "TypeError: index refused, caused by KeyError: 'k'" in text.split("\n")
    )
    text = literal_failure(IndexWithUnprintableCause())
    assert "caused by TypeError: outer, caused by Unprintable: <exception str() failed>" in text


def test_numpy_bool_without_truth_slot_is_refused():
    obj = _fake_numpy_bool({})()
    with pytest.raises(TypeError) as info:
        Expr.literal(obj)
    boolean_line = str(info.value).split("\n")[2]
    assert boolean_line.startswith(
        "- variant Boolean (Boolean): TypeError: failed to extract field PyValue::Boolean.0, caused by TypeError: object of type '"
    )
    assert boolean_line.endswith("' does not define a '__bool__' conversion")


def test_int_is_never_a_boolean():
    assert_same_value(evaluate(Expr.literal(1)), 1)
    assert_same_value(evaluate(Expr.literal(IntSub(0))), 0)


# --------------------------------------------------------------------------
# Identifiers


def _bind_and_read(name):
    v = Velk()
    v.run([Statement.let(name, Expr.literal("hit"))])
    return v


@pytest.mark.parametrize(
    "obj, debug",
    [
        (0, "U(0)"),
        (4294967295, "U(4294967295)"),
        (True, "U(1)"),
        (False, "U(0)"),
        (IntSub(9), "U(9)"),
        (Index(12), "U(12)"),
        (numpy.uint32(4294967295), "U(4294967295)"),
        (numpy.int64(3), "U(3)"),
        ("", 'S("")'),
        ("x", 'S("x")'),
        ("7", 'S("7")'),
        (StrSub("sub"), 'S("sub")'),
    ],
)
def test_accepted_identifiers(obj, debug):
    v = Velk()
    with raises_panic("Value cannot be found: " + debug):
        v.get(obj)
    with raises_panic("Value cannot be found: " + debug):
        v.run([Statement.let("z", Expr.ident(obj))])
    v.run([Statement.let(obj, Expr.literal("hit"))])
    assert v.get(obj) == "hit"
    assert repr(v) == 'Machine { vars: {' + debug + ': String("hit")} }'


def test_number_and_text_identifiers_differ():
    v = _bind_and_read(7)
    assert v.get(7) == "hit"
    with raises_panic('Value cannot be found: S("7")'):
        v.get("7")
    v = _bind_and_read("0")
    with raises_panic("Value cannot be found: U(0)"):
        v.get(0)
    assert _bind_and_read(True).get(1) == "hit"


def test_identifier_out_of_range_message():
    expected = (
        "argument 'ident': failed to extract enum PyIdentifier ('U | S')\n"
        "- variant U (U): TypeError: failed to extract field PyIdentifier::U.0, caused by "
        "OverflowError: out of range integral type conversion attempted\n"
        "- variant S (S): TypeError: failed to extract field PyIdentifier::S.0, caused by "
        "TypeError: 'int' object cannot be converted to 'PyString'"
    )
    with raises_exactly(TypeError, expected):
        Velk().get(4294967296)
    assert expected == argument_error("ident", identifier_failure(4294967296))


REFUSED_IDENTIFIERS = [
    4294967296,
    2**64 - 1,
    2**64,
    10**400,
    -1,
    -(2**63),
    IntSub(-3),
    Index(2**32),
    Index(-1),
    3.0,
    None,
    b"x",
    [0],
    "\ud800",
    Expr.literal(0),
    RaisingIndex(),
    IndexWithUnprintableCause(),
]


@pytest.mark.parametrize("obj", REFUSED_IDENTIFIERS, ids=[repr(o)[:30] for o in REFUSED_IDENTIFIERS])
def test_refused_identifiers(obj):
    text = identifier_failure(obj)
    with raises_exactly(TypeError, argument_error("id", text)):
        Expr.ident(obj)
    with raises_exactly(TypeError, argument_error("ident", text)):
        Statement.let(obj, Expr.literal(1))
    with raises_exactly(TypeError, argument_error("ident", text)):
        Velk().get(obj)


def test_negative_identifier_names_the_interpreter_error():
    u_line = identifier_failure(-1).split("\n")[1]
    err = interpreter_error("PyLong_AsUnsignedLongLong", -1)
    assert type(err) is OverflowError
    assert u_line.endswith(f"caused by OverflowError: {err}")


# --------------------------------------------------------------------------
# Operators


@pytest.mark.parametrize("op, expected", [("+", 5), ("-", 1), ("*", 6), ("/", 1), (StrSub("*"), 6)])
def test_operator_texts(op, expected):
    assert evaluate(Expr.binary_op(Expr.literal(3), op, Expr.literal(2))) == expected


@pytest.mark.parametrize("op", ["", "++", " +", "+ ", "%", "é", "\u2212", "x", "//", "\0"])
def test_unknown_operator_text(op):
    a = Expr.literal(1)
    with raises_exactly(ValueError, "Expected one of: +, -, *, /"):
        Expr.binary_op(a, op, a)


def test_operator_not_text():
    a = Expr.literal(1)
    with raises_exactly(TypeError, "argument 'o': 'int' object cannot be converted to 'PyString'"):
        Expr.binary_op(a, 43, a)
    with raises_exactly(TypeError, "argument 'o': 'bytes' object cannot be converted to 'PyString'"):
        Expr.binary_op(a, b"+", a)


def test_operator_lone_surrogate_passes_the_interpreter_error_unchanged():
    a = Expr.literal(1)
    err = interpreter_error("PyUnicode_AsUTF8", "\ud800")
    assert type(err) is UnicodeEncodeError
    with raises_exactly(UnicodeEncodeError, str(err)):
        Expr.binary_op(a, "\ud800", a)


def test_operands_are_converted_before_the_operator_is_checked():
    a = Expr.literal(1)
    with raises_exactly(TypeError, "argument 'b': 'int' object cannot be converted to 'Expr'"):
        Expr.binary_op(a, "%", 5)
    with raises_exactly(TypeError, "argument 'a': 'int' object cannot be converted to 'Expr'"):
        Expr.binary_op(5, "%", a)
    # The operator argument is converted (as text) before b.
    with raises_exactly(TypeError, "argument 'o': 'int' object cannot be converted to 'PyString'"):
        Expr.binary_op(a, 43, 5)


# --------------------------------------------------------------------------
# Trees as arguments


@pytest.mark.parametrize(
    "obj", [1, None, "x", Statement.let("x", Expr.literal(1)), Velk(), Expr, [Expr.literal(1)]],
    ids=["int", "None", "str", "Statement", "Velk", "class", "list"],
)
def test_expression_arguments_must_be_expr_objects(obj):
    e = Expr.literal(True)
    msg = conversion_error(obj, "Expr")
    for call, param in [
        (lambda: Expr.not_(obj), "item"),
        (lambda: Expr.equals(obj, e), "a"),
        (lambda: Expr.equals(e, obj), "b"),
        (lambda: Expr.greater_than(obj, e), "a"),
        (lambda: Expr.less_than(e, obj), "b"),
        (lambda: Expr.binary_op(obj, "+", e), "a"),
        (lambda: Expr.binary_op(e, "+", obj), "b"),
        (lambda: Statement.let("x", obj), "pxpr"),
        (lambda: Statement.if_(obj, [], []), "pxpr"),
    ]:
        with raises_exactly(TypeError, argument_error(param, str(msg))):
            call()


def test_same_expr_as_both_operands():
    e = Expr.literal(21)
    doubled = Expr.binary_op(e, "+", e)
    assert evaluate(Expr.binary_op(doubled, "*", Expr.literal(2))) == 84
    assert evaluate(Expr.equals(e, e)) is True
    assert evaluate(e) == 21


def test_panic_exception_is_not_a_conversion_error():
    # A lookup failure is a core failure, not a TypeError.
    with pytest.raises(PanicException):
        Velk().get("missing")


# --------------------------------------------------------------------------
# Exact built-in types against the ordered tries
#
# None, bool, int, float and str objects are converted without trying the
# kinds in turn. Subclass instances of the same values still take the ordered
# tries, so the two must agree on every value, at the edges of the ranges
# (outside i64, beyond a double, outside U's 0 to 2**32-1) and for texts
# without a UTF-8 form, where the shortcut must give way to the ordered tries
# and their messages.

def _with_surrogate(parts):
    return "\ud800".join(parts)


texts = st.text(max_size=20) | st.lists(st.text(max_size=5), min_size=2, max_size=3).map(_with_surrogate)
ints = (
    st.integers(min_value=-(2**64), max_value=2**64)
    | st.sampled_from([2**30 - 1, 2**30, -(2**30), -(2**30) - 1, 2**31, 2**32 - 1, 2**32,
                       2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64 - 1, 2**1023, 2**1024, -(2**1024)])
    | st.integers(min_value=2**1000, max_value=2**1100).flatmap(lambda n: st.sampled_from([n, -n]))
)
floats = st.floats(allow_nan=True, allow_infinity=True)
literals = st.none() | st.booleans() | ints | floats | texts

SUBCLASS = {int: IntSub, float: FloatSub, str: StrSub}


def literal_outcome(obj):
    """("ok", value read back) or ("refused", message) for Expr.literal(obj)."""
    try:
        expr = Expr.literal(obj)
    except TypeError as exc:
        return ("refused", str(exc))
    return ("ok", evaluate(expr))


def identifier_outcome(obj):
    """("ok", debug form) or ("refused", message) for obj as an identifier."""
    v = Velk()
    try:
        v.run([Statement.let(obj, Expr.literal(0))])
    except TypeError as exc:
        return ("refused", str(exc))
    return ("ok", repr(v))


def _same_outcome(a, b):
    return a[0] == b[0] and (same_value(a[1], b[1]) if a[0] == "ok" else a[1] == b[1])


@settings(max_examples=300, derandomize=True, deadline=None)
@given(literals)
def test_literal_of_an_exact_type_is_what_the_ordered_tries_give(obj):
    got = literal_outcome(obj)
    if got[0] == "ok":
        assert_same_value(got[1], model.literal_value(obj))
    else:
        assert got[1] == argument_error("value", literal_failure(obj))
    sub = SUBCLASS.get(type(obj))
    if sub is not None:
        # The subclass takes the ordered tries; only the type names in a
        # refusal differ.
        via_tries = literal_outcome(sub(obj))
        if got[0] == "ok":
            assert _same_outcome(got, via_tries), (got, via_tries)
        else:
            assert via_tries == ("refused", argument_error("value", literal_failure(sub(obj))))


@settings(max_examples=300, derandomize=True, deadline=None)
@given(st.none() | st.booleans() | ints | floats | texts)
def test_identifier_of_an_exact_type_is_what_the_ordered_tries_give(obj):
    got = identifier_outcome(obj)
    if got[0] == "ok":
        debug = model.identifier_debug(model.identifier(obj))
        assert got[1] == "Machine { vars: {%s: Number(Int(0))} }" % debug
    else:
        assert got[1] == argument_error("ident", identifier_failure(obj))
    sub = SUBCLASS.get(type(obj))
    if sub is not None and type(obj) is not float:
        via_tries = identifier_outcome(sub(obj))
        if got[0] == "ok":
            assert via_tries == got
        else:
            assert via_tries == ("refused", argument_error("ident", identifier_failure(sub(obj))))


@pytest.mark.parametrize("n", [0, 1, 2**30 - 1, 2**30, 2**31, 2**32 - 1])
def test_identifier_bound_by_an_exact_int_is_read_through_the_ordered_tries(n):
    v = Velk()
    v.run([Statement.let(n, Expr.literal("by int"))])
    assert v.get(IntSub(n)) == "by int"
    assert v.get(Index(n)) == "by int"
    v.run([Statement.let(Index(n), Expr.literal("by index"))])
    assert v.get(n) == "by index"


def test_exact_int_edges_keep_the_ordered_messages():
    # Just outside i64 the I64 try fails and F64 takes the int.
    for n in (2**63, -(2**63) - 1, 2**64, 2**1023):
        assert_same_value(evaluate(Expr.literal(n)), float(n))
    # Beyond a double both number tries fail: six lines, F64 an OverflowError.
    message = argument_error("value", literal_failure(2**1024))
    with raises_exactly(TypeError, message):
        Expr.literal(2**1024)
    assert message.split("\n")[-1].endswith("caused by OverflowError: int too large to convert to float")
    assert len(message.split("\n")) == 6
    # A negative identifier and one of 2**32 fail U, then S.
    for n, overflow in [
        (-1, interpreter_error("PyLong_AsUnsignedLongLong", -1)),
        (-(2**30) - 1, interpreter_error("PyLong_AsUnsignedLongLong", -1)),
        (2**32, "out of range integral type conversion attempted"),
        (2**64, interpreter_error("PyLong_AsUnsignedLongLong", 2**64)),
    ]:
        text = identifier_failure(n)
        assert text.split("\n")[1].endswith(f"caused by OverflowError: {overflow}")
        with raises_exactly(TypeError, argument_error("ident", text)):
            Velk().get(n)


def test_exact_str_without_utf8_form_keeps_the_ordered_messages():
    for text in ("\ud800", "a\udfffb"):
        err = interpreter_error("PyUnicode_AsUTF8", text)
        literal = literal_failure(text)
        assert literal.split("\n")[3].endswith(f"caused by UnicodeEncodeError: {err}")
        with raises_exactly(TypeError, argument_error("value", literal)):
            Expr.literal(text)
        with raises_exactly(TypeError, argument_error("id", identifier_failure(text))):
            Expr.ident(text)


# --------------------------------------------------------------------------
# Refusals and round trips through a machine


def test_lone_surrogate_operator_passes_the_interpreters_error():
    with pytest.raises(UnicodeEncodeError) as info:
        Expr.binary_op(Expr.literal(1), "\udc80", Expr.literal(2))
    assert not str(info.value).startswith("argument")


class _TypeErrorWithCause:
    """A sequence whose iteration fails with a TypeError that has a cause."""

    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise TypeError("boom") from KeyError("root")


def test_argument_error_keeps_the_cause():
    with pytest.raises(TypeError) as info:
        Velk().run(_TypeErrorWithCause())
    assert str(info.value) == "argument 'stmts': boom"
    assert isinstance(info.value.__cause__, KeyError)


@pytest.mark.parametrize("ident, u_line_end", [
    (4294967296, "OverflowError: out of range integral type conversion attempted"),
    (-1, None),
    (3.0, None),
])
def test_identifier_refusal_lines(ident, u_line_end):
    with pytest.raises(TypeError) as info:
        Statement.let(ident, Expr.literal(1))
    lines = str(info.value).split("\n")
    assert lines[0] == "argument 'ident': failed to extract enum PyIdentifier ('U | S')"
    assert lines[1].startswith("- variant U (U): TypeError: failed to extract field PyIdentifier::U.0, caused by ")
    if u_line_end:
        assert lines[1].endswith(u_line_end)
    if ident == -1:
        assert "caused by OverflowError: " in lines[1]
    assert lines[2].endswith("caused by TypeError: '%s' object cannot be converted to 'PyString'"
                             % type(ident).__qualname__)


class _Text(str):
    pass


def _roundtrip(value):
    v = Velk()
    v.run([Statement.let("x", Expr.literal(value))])
    return v.get("x")


@pytest.mark.parametrize("given, expected", [
    (None, None), (True, True), (False, False), (0, 0), (2**63, float(2**63)),
    (-2**63, -2**63), (1.5, 1.5), ("", ""), (_Text("t"), "t"), ("a\0b", "a\0b"),
])
def test_literals_come_back_with_their_kind(given, expected):
    got = _roundtrip(given)
    assert got == expected and type(got) is type(expected)


def test_numpy_bool_is_a_boolean():
    assert _roundtrip(numpy.bool_(True)) is True
    assert _roundtrip(numpy.bool_(False)) is False


@pytest.mark.parametrize("bad", [10**400, b"x", [1], object()])
def test_unconvertible_literals(bad):
    with pytest.raises(TypeError, match="^argument 'value': failed to extract enum PyValue"):
        Expr.literal(bad)


def test_identifier_forms_name_distinct_variables():
    v = Velk()
    v.run([
        Statement.let(0, Expr.literal("number 0")),
        Statement.let("0", Expr.literal("text 0")),
        Statement.let(4294967295, Expr.literal("top")),
        Statement.let(_Text(""), Expr.literal("empty")),
        Statement.let(True, Expr.literal("one")),
    ])
    assert v.get(0) == "number 0" and v.get("0") == "text 0"
    assert v.get(4294967295) == "top" and v.get("") == "empty" and v.get(1) == "one"


# --------------------------------------------------------------------------
# Which Python hooks a conversion calls, in which order, how often
#
# Each form is tried once, in order, and a refusal's text is read once when
# the failure message is composed: running any try (or the whole slow path)
# twice would show as a repeated entry.

class Logged(Exception):
    """An exception that logs each time its text is read."""

    def __init__(self, log, name):
        super().__init__(name)
        self.log, self.name = log, name

    def __str__(self):
        self.log.append("str " + self.name)
        return self.name


def hooked(log, index=None, float_=None, base=object):
    """An object of a fresh `base` subclass whose __index__ / __float__ log
    their calls and return the given value, or raise Logged for "raise"."""

    def hook(name, result):
        def method(self):
            log.append(name)
            if result == "raise":
                raise Logged(log, name)
            return result
        return method

    namespace = {}
    if index is not None:
        namespace["__index__"] = hook("__index__", index)
    if float_ is not None:
        namespace["__float__"] = hook("__float__", float_)
    cls = type("Hooked", (base,), namespace)
    return cls() if base is object else cls(7)


def _let(ident):
    return Statement.let(ident, Expr.literal(0))


def _bind(key, value):
    bind(Velk(), {key: value})


HOOK_ORDERS = [
    # (conversion, hooks of the object, calls expected)
    ("literal", dict(index=3, float_=0.5), ["__index__"]),
    ("literal", dict(index="raise", float_=0.5), ["__index__", "__float__"]),
    ("literal", dict(float_=0.5), ["__float__"]),
    ("literal", dict(index="raise", float_="raise"), ["__index__", "__float__", "str __index__", "str __float__"]),
    ("literal", dict(index=3, float_=0.5, base=int), []),  # an int subclass is read as an int
    ("literal", dict(index=3, float_=0.5, base=str), []),  # a str subclass is String before I64
    ("ident", dict(index=4, float_=0.5), ["__index__"]),
    ("ident", dict(index="raise"), ["__index__", "str __index__"]),
    ("ident", dict(index=4, base=str), ["__index__"]),  # U is tried before S
    ("ident", dict(index=4, base=int), []),
    ("let", dict(index="raise"), ["__index__", "str __index__"]),
    ("get", dict(index="raise"), ["__index__", "str __index__"]),
    ("bind key", dict(index="raise"), ["__index__", "str __index__"]),
    ("bind value", dict(index="raise", float_="raise"), ["__index__", "__float__", "str __index__", "str __float__"]),
]

CONVERSIONS = {
    "literal": Expr.literal,
    "ident": Expr.ident,
    "let": _let,
    "get": lambda obj: Velk().get(obj),
    "bind key": lambda obj: _bind(obj, 1),
    "bind value": lambda obj: _bind("k", obj),
}


@pytest.mark.parametrize("conversion, hooks, expected", HOOK_ORDERS,
                         ids=[f"{c}-{'-'.join(f'{k}={v}' for k, v in h.items())}" for c, h, _ in HOOK_ORDERS])
def test_each_hook_runs_once_in_order(conversion, hooks, expected):
    log = []
    obj = hooked(log, **hooks)
    try:
        CONVERSIONS[conversion](obj)
    except (TypeError, PanicException):
        pass
    assert log == expected
