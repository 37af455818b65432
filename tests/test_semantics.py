"""The language's meaning, checked through the Python classes."""

import math
import struct

import pytest
import zarn

from support import B, I, L, assert_same_value, outcome, raises_panic, signbit
from failure_messages import (CONDITION, DIVIDE_BY_ZERO, DIVIDE_OVERFLOW, NOT_FOUND, NOT_OPERAND, OPERAND_KINDS,
                              ORDER_OPERANDS, STRING_OPERATOR)

Expr, Statement, Velk = zarn.Expr, zarn.Statement, zarn.Velk

MIN, MAX = -(2**63), 2**63 - 1
NAN = float("nan")
NEG_NAN = -NAN
INF = math.inf


class Fails:
    def __init__(self, message):
        self.message = message

    def __repr__(self):
        return f"Fails({self.message!r})"


def check(expr, expected, setup=()):
    status, got = outcome(expr, setup)
    if isinstance(expected, Fails):
        assert (status, got) == ("panic", expected.message)
    else:
        assert status == "ok", got
        if type(expected) is float and math.isnan(expected):
            assert type(got) is float and math.isnan(got), got
        else:
            assert_same_value(got, expected)


ARITHMETIC = [
    # Int with Int wraps around
    (MAX, "+", 1, MIN),
    (MIN, "-", 1, MAX),
    (MIN, "*", -1, MIN),
    (MAX, "*", 2, -2),
    (2**62, "*", 4, 0),
    (3037000500, "*", 3037000500, -9223372036709301616),
    (MIN, "+", MIN, 0),
    (5, "-", 7, -2),
    (6, "*", -7, -42),
    # Int division truncates toward zero
    (7, "/", -2, -3),
    (-7, "/", 2, -3),
    (7, "/", 2, 3),
    (-7, "/", -2, 3),
    (MIN, "/", 1, MIN),
    (MIN, "/", 2, -(2**62)),
    (MAX, "/", -1, -MAX),
    (0, "/", -5, 0),
    (1, "/", 0, Fails(DIVIDE_BY_ZERO)),
    (0, "/", 0, Fails(DIVIDE_BY_ZERO)),
    (MIN, "/", 0, Fails(DIVIDE_BY_ZERO)),
    (MIN, "/", -1, Fails(DIVIDE_OVERFLOW)),
    # Int with Float: the Int is converted
    (1, "+", 0.5, 1.5),
    (2, "*", 1.0, 2.0),
    (3, "-", 0.5, 2.5),
    (1, "/", 4.0, 0.25),
    (1, "/", 0.0, INF),
    (1, "/", -0.0, -INF),
    (-1, "/", 0.0, -INF),
    (0, "/", 0.0, NAN),
    (2**53 + 1, "+", 0.0, 9007199254740992.0),
    (MAX, "-", 0.0, 9.223372036854775808e18),
    (0, "*", -1.0, -0.0),
    # Float with Int
    (0.5, "+", 1, 1.5),
    (-1.0, "/", 0, -INF),
    (1.0, "/", 0, INF),
    (0.0, "/", 0, NAN),
    (NAN, "/", 0, NAN),
    (1.5, "*", 2, 3.0),
    (-0.0, "+", 0, 0.0),
    # Float with Float follows IEEE 754
    (0.1, "+", 0.2, 0.30000000000000004),
    (1e308, "*", 10.0, INF),
    (-1e308, "*", 10.0, -INF),
    (INF, "-", INF, NAN),
    (INF, "*", 0.0, NAN),
    (-0.0, "+", -0.0, -0.0),
    (-0.0, "-", 0.0, -0.0),
    (0.0, "-", 0.0, 0.0),
    (5e-324, "/", 2.0, 0.0),
    (1.0, "/", 3.0, 1 / 3),
    (NAN, "+", 1.0, NAN),
]


@pytest.mark.parametrize("a, op, b, expected", ARITHMETIC, ids=[f"{r[0]!r}{r[1]}{r[2]!r}" for r in ARITHMETIC])
def test_arithmetic(a, op, b, expected):
    check(B(L(a), op, L(b)), expected)


def test_float_operations_never_fail_and_the_result_is_a_float():
    for a, b in [(1, 0.0), (0.0, 0), (-0.0, -0.0), (INF, 0)]:
        for op in "+-*/":
            status, got = outcome(B(L(a), op, L(b)))
            assert status == "ok" and type(got) is float


def test_nan_of_an_invalid_operation_matches_this_machine():
    got = outcome(B(L(INF), "-", L(INF)))[1]
    hardware = INF - INF
    assert struct.pack("<d", got) == struct.pack("<d", hardware)


# Representatives of the four kinds of value.
KINDS = {"null": None, "bool": True, "string": "s", "int": 1, "float": 1.5}
NUMBER = ("int", "float")


def _kind_expectation(lk, op, rk):
    """The kind table of the operator expression."""
    if lk == "string" and rk == "string":
        return "ss" if op == "+" else Fails(STRING_OPERATOR)
    if lk in NUMBER and rk in NUMBER:
        return None  # arithmetic, covered above
    return Fails(OPERAND_KINDS)


@pytest.mark.parametrize("op", "+-*/")
@pytest.mark.parametrize("lk", KINDS)
@pytest.mark.parametrize("rk", KINDS)
def test_operator_kind_table(lk, op, rk):
    expected = _kind_expectation(lk, op, rk)
    if expected is None:
        assert outcome(B(L(KINDS[lk]), op, L(KINDS[rk])))[0] == "ok"
        return
    check(B(L(KINDS[lk]), op, L(KINDS[rk])), expected)


@pytest.mark.parametrize(
    "a, b, expected",
    [("ab", "cd", "abcd"), ("a", "", "a"), ("", "b", "b"), ("", "", ""), ("ä\0", "😀\n", "ä\0😀\n"), ("x" * 1000, "y", "x" * 1000 + "y")],
)
def test_string_join(a, b, expected):
    check(B(L(a), "+", L(b)), expected)


EQUALITY = [
    (None, None, True),
    (None, False, False),
    (False, None, False),
    (True, True, True),
    (False, False, True),
    (True, False, False),
    ("ab", "ab", True),
    ("ab", "abc", False),
    ("", "", True),
    ("a\0", "a", False),
    ("é", "e\u0301", False),
    (1, 1, True),
    (1, 2, False),
    (MIN, MIN, True),
    (1, 1.0, False),
    (1.0, 1, False),
    (0, -0.0, False),
    (1.5, 1.5, True),
    (0.0, -0.0, True),
    (NAN, NAN, False),
    (INF, INF, True),
    (-INF, INF, False),
    (1, "1", False),
    ("1", 1, False),
    (True, 1, False),
    (None, 0, False),
    (None, "", False),
    (False, 0.0, False),
]


@pytest.mark.parametrize("a, b, expected", EQUALITY, ids=[f"{a!r}=={b!r}" for a, b, _ in EQUALITY])
def test_equality(a, b, expected):
    check(Expr.equals(L(a), L(b)), expected)


def test_nan_is_unequal_to_the_same_variable():
    check(Expr.equals(I("n"), I("n")), False, setup=[Statement.let("n", L(NAN))])
    check(Expr.equals(I("s"), I("s")), True, setup=[Statement.let("s", L("x"))])


# (a, b, a > b, a < b)
ORDERING = [
    (1, 2, False, True),
    (2, 1, True, False),
    (5, 5, False, False),
    (MIN, MAX, False, True),
    (-1, 0, False, True),
    (1, 1.0, False, False),
    (1.0, 1, False, False),
    (0.0, -0.0, True, False),
    (-0.0, 0.0, False, True),
    (0, -0.0, True, False),
    (-0.0, 0, False, True),
    (0, 0.0, False, False),
    (2**53 + 1, 2.0**53, False, False),
    (2**53 + 2, 2.0**53, True, False),
    (MAX, 9.223372036854775808e18, False, False),
    (NAN, INF, True, False),
    (NAN, MAX, True, False),
    (NAN, MIN, True, False),
    (NEG_NAN, -INF, False, True),
    (NEG_NAN, MIN, False, True),
    (NEG_NAN, NAN, False, True),
    (NAN, NAN, False, False),
    (NEG_NAN, NEG_NAN, False, False),
    (INF, 1e308, True, False),
    (-INF, -1e308, False, True),
    (5e-324, 0.0, True, False),
    (-5e-324, -0.0, False, True),
    (1.5, 2.5, False, True),
]


@pytest.mark.parametrize("a, b, greater, less", ORDERING, ids=[f"{r[0]!r}vs{r[1]!r}" for r in ORDERING])
def test_ordering(a, b, greater, less):
    check(Expr.greater_than(L(a), L(b)), greater)
    check(Expr.less_than(L(a), L(b)), less)


def test_nan_from_an_invalid_operation_sorts_by_its_sign():
    made = B(L(INF), "-", L(INF))
    nan_negative = signbit(INF - INF)
    check(Expr.less_than(made, L(-INF)), nan_negative)
    check(Expr.greater_than(made, L(INF)), not nan_negative)


@pytest.mark.parametrize("a, b", [("a", 1), (1, "a"), ("a", "b"), (None, 1), (1, None), (True, False), (1.5, True), (None, None)])
def test_ordering_needs_numbers(a, b):
    check(Expr.greater_than(L(a), L(b)), Fails(ORDER_OPERANDS))
    check(Expr.less_than(L(a), L(b)), Fails(ORDER_OPERANDS))


def test_not():
    check(Expr.not_(L(True)), False)
    check(Expr.not_(L(False)), True)
    check(Expr.not_(Expr.not_(L(True))), True)
    check(Expr.not_(Expr.equals(L(1), L(1.0))), True)
    for value in (0, 1, None, "", "true", 0.0, NAN):
        check(Expr.not_(L(value)), Fails(NOT_OPERAND))


def test_operands_are_evaluated_before_kind_checks():
    missing = Fails(NOT_FOUND + 'S("m")')
    check(B(L(None), "+", I("m")), missing)
    check(B(I("m"), "+", L(None)), missing)
    check(Expr.equals(L(1), I("m")), missing)
    check(Expr.equals(I("m"), L(1)), missing)
    check(Expr.greater_than(L("s"), I("m")), missing)
    check(Expr.not_(I("m")), missing)
    check(B(L("a"), "-", B(L(1), "/", L(0))), Fails(DIVIDE_BY_ZERO))


def test_left_operand_fails_first():
    check(B(I("left"), "+", I("right")), Fails(NOT_FOUND + 'S("left")'))
    check(Expr.less_than(B(L(1), "/", L(0)), I("right")), Fails(DIVIDE_BY_ZERO))
    check(Expr.equals(I(1), I(2)), Fails(NOT_FOUND + "U(1)"))


def test_variable_references_read_the_store():
    setup = [Statement.let("x", L(20)), Statement.let(7, L(22))]
    check(B(I("x"), "+", I(7)), 42, setup)
    check(B(I("x"), "+", I("x")), 40, setup)


# --------------------------------------------------------------------------
# Statements


def let(name, value):
    return Statement.let(name, L(value))


def test_let_sees_the_previous_binding():
    v = Velk()
    v.run([let("x", 1), Statement.let("x", B(I("x"), "+", L(1)))])
    assert v.get("x") == 2
    w = Velk()
    with raises_panic(NOT_FOUND + 'S("x")'):
        w.run([Statement.let("x", B(I("x"), "+", L(1)))])
    with raises_panic(NOT_FOUND + 'S("x")'):
        w.get("x")


@pytest.mark.parametrize("condition", [0, 1, "", "true", None, 0.0, 1.5])
def test_conditions_must_be_booleans(condition):
    v = Velk()
    with raises_panic(CONDITION):
        v.run([Statement.if_(L(condition), [let("then", 1)], [let("otherwise", 1)]), let("after", 1)])
    assert repr(v) == "Machine { vars: {} }"


def test_only_the_chosen_branch_runs():
    v = Velk()
    v.run([
        Statement.if_(L(True), [let("t", 1)], [let("o", 1)]),
        Statement.if_(L(False), [let("t2", 1)], [let("o2", 1)]),
    ])
    assert v.get("t") == 1 and v.get("o2") == 1
    for name in ("o", "t2"):
        with raises_panic(NOT_FOUND + f'S("{name}")'):
            v.get(name)


def test_nested_ifs_and_flat_scope():
    # if x < 10 { if x == 5 { hit = "five" } else { hit = "small" }; inner = x } else { hit = "big" }
    def program(x):
        return [
            let("x", x),
            Statement.if_(
                Expr.less_than(I("x"), L(10)),
                [
                    Statement.if_(Expr.equals(I("x"), L(5)), [let("hit", "five")], [let("hit", "small")]),
                    Statement.let("inner", I("x")),
                ],
                [let("hit", "big")],
            ),
            Statement.let("seen", I("hit")),  # a binding made in a branch is visible outside it
        ]

    for x, hit in [(5, "five"), (3, "small"), (12, "big")]:
        v = Velk()
        v.run(program(x))
        assert v.get("hit") == hit and v.get("seen") == hit
        if x < 10:
            assert v.get("inner") == x


def test_failure_inside_a_branch_stops_every_enclosing_list():
    v = Velk()
    with raises_panic(DIVIDE_BY_ZERO):
        v.run([
            let("a", 1),
            Statement.if_(L(True), [
                let("b", 2),
                Statement.if_(L(True), [let("c", 3), Statement.let("d", B(L(1), "/", L(0))), let("e", 4)], []),
                let("f", 5),
            ], []),
            let("g", 6),
        ])
    assert [v.get(n) for n in "abc"] == [1, 2, 3]
    for name in "defg":
        with raises_panic(NOT_FOUND + f'S("{name}")'):
            v.get(name)


def test_loop_free_counter_across_runs():
    v = Velk()
    v.run([let("n", 0)])
    step = Statement.if_(
        Expr.less_than(I("n"), L(3)),
        [Statement.let("n", B(I("n"), "+", L(1)))],
        [let("done", True)],
    )
    for _ in range(5):
        v.run([step])
    assert v.get("n") == 3 and v.get("done") is True
