"""Trees travel: Expr and Statement objects pickle, copy and deep-copy, as
the compact bytes of zarn_runtime.dumps, which loads reads back."""

import copy
import math
import pickle
import struct
import subprocess
import sys

import pytest
import zarn_runtime
from hypothesis import HealthCheck, given, settings
from zarn import Expr, Statement, Velk
from zarn_runtime import dumps, loads, set_limits

from support import PanicException, build_stmt, parse_machine_repr, raises_panic
from test_differential import programs


def outcome(machine, statements):
    try:
        machine.run(statements)
        return None
    except PanicException as exc:
        return str(exc), getattr(exc, "place", None)


@settings(max_examples=60, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(programs)
def test_pickled_programs_run_as_the_originals(runs):
    original, travelled = Velk(), Velk()
    for run in runs:
        built = [build_stmt(s) for s in run]
        copied = pickle.loads(pickle.dumps(built))
        for statement, back in zip(built, copied):
            assert dumps(back) == dumps(statement)  # the bytes are a fixed point
        assert outcome(travelled, copied) == outcome(original, built)
        assert sorted(parse_machine_repr(repr(travelled))) == sorted(parse_machine_repr(repr(original)))


@pytest.mark.parametrize("value", [
    -0.0, math.inf, 5e-324, 2**63 - 1, -(2**63), "a\0b", "é\u0301😀", "", None, True,
    *[struct.unpack("<d", struct.pack("<Q", bits))[0] for bits in (0x7FF8000000000123, 0xFFF0000000000001)],
])
def test_literals_keep_every_bit(value):
    machine = Velk()
    for tree in (Expr.literal(value), copy.copy(Expr.literal(value)), copy.deepcopy(Expr.literal(value))):
        machine.run([Statement.let("v", pickle.loads(pickle.dumps(tree)))])
        got = machine.get("v")
        if isinstance(value, float):
            assert struct.pack("<d", got) == struct.pack("<d", value)
        else:
            assert got == value and type(got) is type(value)


def test_shared_subtrees_stay_shared():
    e = Expr.ident("x")
    for _ in range(64):
        e = Expr.binary_op(e, "+", e)
    data = pickle.dumps(Statement.let("y", e))
    assert len(data) < 1000  # linear in the 66 objects, not in 2**64 nodes
    back = pickle.loads(data)
    machine = Velk()
    machine.run([Statement.let("x", Expr.literal(1))])
    set_limits(machine, max_steps=1000)
    with raises_panic("Limit exceeded: max_steps=1000"):
        machine.run([back])


def test_any_depth():
    e = Expr.literal(1)
    for _ in range(200_000):
        e = Expr.not_(e)
    assert dumps(loads(dumps(e))) == dumps(e)


def test_damaged_bytes_are_refused_with_a_reason():
    good = dumps(Statement.if_(Expr.less_than(Expr.ident("x"), Expr.literal(2.5)),
                              [Statement.let(7, Expr.literal("text"))], []))
    bad = [b"", b"ZT", b"ZT\x02" + good[3:], good + b"\0", good[:-1], b"ZT\x01\x01\x0f",
           b"ZT\x01\x01\x07\xff\xff\xff\xff\xff\xff\xff\xff\xff\x7f", b"ZT\x01\x01\x05\x02\xc3\x28",
           b"ZT\x01\x02\x00\x08\x09\x00\x00", b"ZT\x01\x02\x0d\x07\x01x\x00\x0a\x00"[:-1] + b"\x05"]
    bad += [good[:n] for n in range(len(good))]  # cut anywhere
    bad += [good[:n] + bytes([good[n] ^ 0xFF]) + good[n + 1:] for n in range(3, len(good))]  # one byte flipped
    refused = 0
    for data in bad:
        try:
            tree = loads(data)
        except ValueError as exc:
            assert str(exc).startswith("damaged tree data: "), exc
            refused += 1
        else:  # a flipped byte can still make a tree; it must be a whole one
            assert dumps(loads(dumps(tree))) == dumps(tree)
    assert refused > len(good)
    with pytest.raises(TypeError, match="^argument 'tree': 'int' object cannot be converted to 'Expr \\| Statement'$"):
        dumps(1)
    with pytest.raises(TypeError):
        loads("text")


def test_unpickling_needs_nothing_imported_first():
    data = pickle.dumps([Statement.let("x", Expr.literal(41)), Statement.let("x", Expr.binary_op(
        Expr.ident("x"), "+", Expr.literal(1)))])
    code = ("import pickle, sys\nstatements = pickle.loads(sys.stdin.buffer.read())\n"
            "import zarn\nv = zarn.Velk()\nv.run(statements)\nprint(v.get('x'))")
    result = subprocess.run([sys.executable, "-c", code], input=data, capture_output=True, timeout=120)
    assert result.stdout == b"42\n", result.stderr
    assert zarn_runtime.loads is loads
