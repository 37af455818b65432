"""The Velk class: construction, run, get and failures seen from Python."""

import math
import struct

import pytest
import zarn

from failure_messages import CONDITION, CONDITION_REPORTED_AT, NOT_FOUND
from support import PanicException, assert_same_value, raises_panic

Expr, Statement, Velk = zarn.Expr, zarn.Statement, zarn.Velk


def let(name, value):
    return Statement.let(name, Expr.literal(value))


def test_new_machine_is_empty():
    v = Velk()
    assert type(v) is Velk
    assert repr(v) == "Machine { vars: {} }"
    assert str(v) == repr(v)
    for ident, debug in [("x", 'S("x")'), (0, "U(0)"), ("", 'S("")'), (4294967295, "U(4294967295)")]:
        with raises_panic("Value cannot be found: " + debug):
            v.get(ident)


def test_run_returns_none_and_keeps_variables_across_runs():
    v = Velk()
    assert v.run([let("x", 1)]) is None
    assert v.run([]) is None
    assert v.run(()) is None
    v.run([Statement.let("y", Expr.binary_op(Expr.ident("x"), "+", Expr.literal(1)))])
    assert (v.get("x"), v.get("y")) == (1, 2)


def test_machines_share_nothing():
    a, b = Velk(), Velk()
    a.run([let("x", 1)])
    with raises_panic('Value cannot be found: S("x")'):
        b.get("x")
    b.run([let("x", 2)])
    assert (a.get("x"), b.get("x")) == (1, 2)


@pytest.mark.parametrize(
    "value",
    [None, True, False, "", "text", "ünï\0cödé 😀", 0, -1, 2**63 - 1, -(2**63), 0.0, -0.0, 1.5,
     math.inf, -math.inf, 5e-324, 1.7976931348623157e308],
    ids=repr,
)
def test_get_returns_exact_python_types(value):
    v = Velk()
    v.run([let("v", value)])
    got = v.get("v")
    assert_same_value(got, value)


@pytest.mark.parametrize("bits", [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001 | (1 << 51) | 0xABCDE, 0xFFFFFFFFFFFFFFFF])
def test_nan_payload_and_sign_survive(bits):
    nan = struct.unpack("<d", struct.pack("<Q", bits))[0]
    v = Velk()
    v.run([let("n", nan)])
    assert struct.pack("<d", v.get("n")) == struct.pack("<Q", bits)


def test_get_gives_independent_copies():
    v = Velk()
    v.run([let("s", "abc")])
    first, second = v.get("s"), v.get("s")
    assert first == second == "abc"
    v.run([let("s", 5)])
    assert first == second == "abc"
    assert v.get("s") == 5


def test_rebinding_to_another_kind():
    v = Velk()
    for value in (1, "one", None, 1.0, False):
        v.run([let("x", value)])
        assert_same_value(v.get("x"), value)


def test_failure_keeps_earlier_effects_and_stops():
    v = Velk()
    program = [
        let("a", 1),
        Statement.let("b", Expr.ident("c")),
        let("d", 2),
    ]
    with raises_panic('Value cannot be found: S("c")'):
        v.run(program)
    assert v.get("a") == 1
    for missing in ("b", "d"):
        with raises_panic(f'Value cannot be found: S("{missing}")'):
            v.get(missing)
    # The machine is fully usable afterwards.
    v.run([let("c", 3)])
    v.run(program)
    assert (v.get("b"), v.get("d")) == (3, 2)


@pytest.mark.parametrize(
    "stmt, message",
    [
        (Statement.let("x", Expr.ident(9)), "Value cannot be found: U(9)"),
        (Statement.let("x", Expr.binary_op(Expr.literal(1), "/", Expr.literal(0))), "attempt to divide by zero"),
        (Statement.let("x", Expr.binary_op(Expr.literal(-(2**63)), "/", Expr.literal(-1))), "attempt to divide with overflow"),
        (Statement.let("x", Expr.binary_op(Expr.literal("a"), "*", Expr.literal("b"))), "Unknown binary operation for Value::String"),
        (Statement.let("x", Expr.binary_op(Expr.literal(None), "+", Expr.literal(None))), "Binary operator for unknown type"),
        (Statement.let("x", Expr.not_(Expr.literal(0))), "The not expression must be used on a boolean value"),
        (Statement.let("x", Expr.less_than(Expr.literal("a"), Expr.literal(1))), "Both left-hand and right-hand side values must be a number"),
        (Statement.if_(Expr.literal(1), [], []), "Expected deduced condition to be a bool, got other type"),
    ],
)
def test_panic_texts(stmt, message):
    v = Velk()
    with raises_panic(message):
        v.run([stmt])
    with raises_panic('Value cannot be found: S("x")'):
        v.get("x")


def test_panic_exception_is_catchable_as_base_exception():
    with pytest.raises(BaseException) as info:
        Velk().get("nope")
    assert isinstance(info.value, PanicException)
    assert not isinstance(info.value, Exception)


def test_failing_let_leaves_the_old_value():
    v = Velk()
    v.run([let("x", "old")])
    with raises_panic("attempt to divide by zero"):
        v.run([Statement.let("x", Expr.binary_op(Expr.literal(1), "/", Expr.literal(0)))])
    assert v.get("x") == "old"


def test_keyword_forms_of_run_and_get():
    v = Velk()
    v.run(stmts=[let(3, "three")])
    assert v.get(ident=3) == "three"


def test_run_and_get():
    v = Velk()
    assert repr(v) == "Machine { vars: {} }" and str(v) == repr(v)
    for empty in ([], (), b""):
        assert v.run(empty) is None
    v.run((let("x", 1),))
    assert v.get("x") == 1 and type(v.get("x")) is int
    with raises_panic(NOT_FOUND + 'S("y")'):
        v.get("y")
    with raises_panic(NOT_FOUND + "U(0)"):
        v.get(0)


def test_failed_run_keeps_completed_bindings():
    v = Velk()
    step = Statement.let("n", Expr.binary_op(Expr.ident("n"), "+", Expr.literal(1)))
    v.run([let("n", 0), step, step])  # the same object twice runs twice
    assert v.get("n") == 2
    with raises_panic(NOT_FOUND + 'S("c")'):
        v.run([let("a", 1), Statement.let("b", Expr.ident("c")), let("d", 2)])
    assert v.get("a") == 1
    with raises_panic(NOT_FOUND + 'S("d")'):
        v.get("d")


def test_bad_item_runs_nothing():
    v = Velk()
    with pytest.raises(TypeError):
        v.run([let("x", 1), Expr.literal(1)])
    assert repr(v) == "Machine { vars: {} }"


def test_statement_lists_are_copied():
    then = [let("y", "then")]
    cond = Statement.if_(Expr.literal(True), then, [])
    then.append(let("z", 1))
    v = Velk()
    v.run([cond])
    assert v.get("y") == "then"
    with raises_panic(NOT_FOUND + 'S("z")'):
        v.get("z")


def test_fault_report_goes_to_stderr(capfd):
    with raises_panic(CONDITION):
        Velk().run([Statement.if_(Expr.literal(1), [], [])])
    err = capfd.readouterr().err
    assert CONDITION_REPORTED_AT in err
    assert CONDITION in err
