"""Allocation-failure sweep of the module.

Runs only against the test build of the module (CMake option
ZARN_ALLOC_FAULTS), which carries a failing operator new and exports its
controls. A representative program is run again and again; attempt n makes
the n-th C++ allocation from its start fail, until an attempt completes.
Every failing attempt must end in MemoryError (no crash, no other exception,
no silent success), leave the machine exactly as the statements that
completed left it, and leak nothing once its objects are dropped.
"""

from __future__ import annotations

import ctypes
import gc
import subprocess
import sys
import textwrap

import pytest
import zarn
from zarn_runtime import set_limits

import reference_model as model
from support import PanicException, build_expr, build_stmt, parse_machine_repr

Expr, Statement, Velk = zarn.Expr, zarn.Statement, zarn.Velk


def _fault_controls():
    lib = ctypes.CDLL(zarn.__file__)
    try:
        arm = lib.velk_fail_allocation_after
    except AttributeError:
        return None
    arm.argtypes = [ctypes.c_int64]
    arm.restype = None
    failed, live = lib.velk_failed_allocations, lib.velk_live_allocations
    failed.restype = live.restype = ctypes.c_int64
    return arm, failed, live


_controls = _fault_controls()
pytestmark = pytest.mark.skipif(_controls is None, reason="not the ZARN_ALLOC_FAULTS build of the module")
if _controls is not None:
    fail_allocation_after, failed_allocations, live_allocations = _controls

# Past the inline buffer of a std::string, so every text allocates.
LONG = "a" * 40
WIDE = "é" * 24

SETUP = [model.let("n", model.lit(0)), model.let("keep", model.lit(LONG + "!"))]

# Model trees of the program's runs on the shared machine: bindings of every
# kind, joins of long strings, an if whose branch binds again.
MAIN = [
    model.let("n", model.binop(model.ident("n"), "+", model.lit(1))),
    model.let("s", model.lit(LONG)),
    model.let("s", model.binop(model.ident("s"), "+", model.ident("s"))),
    model.let(7, model.eq(model.ident("s"), model.lit("b" * 80))),
    model.if_(
        model.lt(model.ident("n"), model.lit(100)),
        [
            model.let("t", model.binop(model.ident("s"), "+", model.lit(WIDE))),
            model.let("u", model.not_(model.ident(7))),
            model.if_(model.ident("u"), [model.let(4294967295, model.lit(2.5))], []),
        ],
        [model.let("never", model.lit(None))],
    ),
    model.let("f", model.binop(model.lit(1.5), "*", model.ident("n"))),
    model.let("g", model.gt(model.ident("f"), model.lit(2**63))),
]
# Fails at its second statement (division by zero) after binding "q".
PANICKING = [
    model.let("q", model.binop(model.ident("keep"), "+", model.lit(WIDE))),
    model.let("r", model.binop(model.lit(1), "/", model.lit(0))),
]
READ = ["n", "s", 7, "t", "u", 4294967295, "f", "g", "q"]


class TracingMachine(model.Machine):
    """The model machine, remembering its variables after every binding."""

    def __init__(self):
        super().__init__()
        self.states = [{}]

    def run(self, statements):
        for stmt in statements:
            super().run([stmt])  # an if's branch comes back through here
            if stmt[0] == "let":
                self.states.append(dict(self.vars))


def expect_failure(exc_type, call):
    try:
        call()
    except exc_type:
        return
    raise AssertionError(f"expected {exc_type.__name__}")


def program(v):
    """Everything the module does for a user, on the prepared machine ``v``.

    Returns what it read back. Failing calls that belong to the program
    catch exactly their own exception; any other one passes out.
    """
    main = [build_stmt(s) for s in MAIN]
    v.run(main)
    # Keyword binding, the argument-error rule, the enumeration failure and
    # the operator check, each allocating on its way to its exception.
    Statement.let(ident="k", pxpr=Expr.binary_op(a=Expr.literal(1), o="-", b=Expr.ident("n")))
    expect_failure(TypeError, lambda: Expr.equals(1, Expr.literal(1)))
    expect_failure(TypeError, lambda: Expr.literal([LONG]))
    expect_failure(TypeError, lambda: Expr.ident(-1))
    expect_failure(ValueError, lambda: Expr.binary_op(Expr.literal(1), "%", Expr.literal(2)))
    expect_failure(TypeError, lambda: v.run([main[0], Expr.literal(1)]))
    # A core failure through the fault boundary, after a completed binding.
    expect_failure(PanicException, lambda: v.run([build_stmt(s) for s in PANICKING]))
    expect_failure(PanicException, lambda: v.get("missing " + LONG))
    other = Velk()
    other.run((main[1], main[2]))
    # Refusals of the limits, with their places and notes, on the way to
    # their exceptions.
    limited = Velk()
    set_limits(limited, max_text=len(LONG) + 1, max_steps=40)
    limited.run(main[1:2])
    expect_failure(PanicException, lambda: limited.run([main[1], main[2]]))
    expect_failure(PanicException, lambda: limited.run(main))
    read = [v.get(name) for name in READ] + [other.get("s"), limited.get("s")]
    return read, repr(v), repr(other)


def expected_run():
    m = TracingMachine()
    m.run(SETUP)
    setup_state = dict(m.vars)
    m.states = [setup_state]
    m.run(MAIN)
    try:
        m.run(PANICKING)
    except model.ModelError:
        pass
    return m


def machine_state(v) -> set[str]:
    return set(parse_machine_repr(repr(v)))


def state_entries(state) -> set[str]:
    return {f"{model.identifier_debug(k)}: {model.value_debug(val)}" for k, val in state.items()}


def prepared_machine():
    v = Velk()
    v.run([build_stmt(s) for s in SETUP])
    return v


def sweep_attempt(n, reference, allowed_states):
    """Runs the program with allocation n failing; True once it completes."""
    v = prepared_machine()
    failure = None
    fail_allocation_after(n)
    try:
        result = program(v)
    except BaseException as exc:  # noqa: BLE001 - judged below
        failure = exc
    fired = failed_allocations() == 1
    fail_allocation_after(0)

    if failure is None:
        assert not fired, f"allocation {n} failed but the program went on silently"
        assert result[0] == reference[0]
        return True
    assert type(failure) is MemoryError, f"allocation {n}: {type(failure).__name__}: {failure}"
    assert fired, f"allocation {n}: MemoryError without a failed allocation"
    del failure

    # Exactly the effects of the statements that completed.
    state = machine_state(v)
    assert state in allowed_states, f"allocation {n}: unexpected machine state {state}"
    assert v.get("keep") == LONG + "!"
    # Still fully usable: the whole program runs through on it.
    v.run([build_stmt(s) for s in SETUP])
    assert program(v)[0] == reference[0]
    return False


def test_the_hook_sees_the_modules_allocations_only():
    # The failing operator new is bound inside the module: the core's and the
    # bindings' allocations go through it, the interpreter's do not.
    before = live_allocations()
    junk = [str(i) * 50 for i in range(1000)]
    assert live_allocations() == before
    e = Expr.literal(LONG)
    assert live_allocations() == before + 3  # its text, its shared value, its node
    del e, junk
    assert live_allocations() == before
    fail_allocation_after(1)
    with pytest.raises(MemoryError):
        Expr.literal(LONG)
    assert failed_allocations() == 1
    fail_allocation_after(0)


def test_every_allocation_point_fails_cleanly():
    trace = expected_run()
    allowed_states = [state_entries(s) for s in trace.states]
    reference = program(prepared_machine())  # also warms process-wide caches
    assert reference[0] == [trace.vars[model.identifier(name)] for name in READ] + [LONG * 2, LONG]

    points = 0
    for n in range(1, 100_000):
        gc.collect()
        live_before = live_allocations()
        completed = sweep_attempt(n, reference, allowed_states)
        gc.collect()
        assert live_allocations() == live_before, f"allocation {n}: leaked"
        if completed:
            break
        points += 1
    else:
        pytest.fail("the program never completed")
    print(f"allocation points swept: {points}")
    assert points > 100  # a sweep that fails nothing proves nothing


FIRST_MACHINE = textwrap.dedent(
    """
    import ctypes, zarn
    lib = ctypes.CDLL(zarn.__file__)
    lib.velk_fail_allocation_after.argtypes = [ctypes.c_int64]
    lib.velk_failed_allocations.restype = ctypes.c_int64
    lib.velk_live_allocations.restype = ctypes.c_int64
    points = 0
    while True:
        lib.velk_fail_allocation_after(points + 1)
        try:
            v = zarn.Velk()
        except MemoryError:
            assert lib.velk_failed_allocations() == 1
            assert lib.velk_live_allocations() == 0, lib.velk_live_allocations()
            points += 1
            continue
        finally:
            lib.velk_fail_allocation_after(0)
        break
    assert lib.velk_failed_allocations() == 0
    v.run([zarn.Statement.let("x", zarn.Expr.literal("y" * 40))])
    assert v.get("x") == "y" * 40
    del v
    assert lib.velk_live_allocations() == 0, lib.velk_live_allocations()
    print(points)
    """
)


def test_first_machine_of_a_process():
    # The first machine of a process sizes the store from the processor
    # count and the cgroup quota files, once for the process: a failure
    # there must leave that to be done again, cleanly, by the next machine,
    # and every block it takes must come back through the same allocator.
    result = subprocess.run([sys.executable, "-c", FIRST_MACHINE],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    points = int(result.stdout)
    print(f"allocation points of the first machine: {points}")
    assert points > 1
