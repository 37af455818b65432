"""Runs see signals: a Python signal handler that raises stops a long run
with its own exception, on machines with limits and without."""

from __future__ import annotations

import faulthandler
import os
import signal
import subprocess
import sys

import pytest
from zarn import Expr, Statement, Velk
from zarn_runtime import set_limits

from support import PanicException

pytestmark = pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs signal.setitimer")

NO_LIMITS = {}
HIGH_LIMITS = {"max_text": 1 << 20, "max_bytes": 1 << 30, "max_steps": 1 << 62}


def doubling(levels):
    """levels + 1 objects that expand to 2**(levels + 1) - 1 nodes."""
    e = Expr.ident("x")
    for _ in range(levels):
        e = Expr.binary_op(e, "+", e)
    return e


def endless():
    return doubling(64)  # no run of it ends


@pytest.fixture
def watchdog():
    # A run that no signal stops must fail the suite, not hang it.
    faulthandler.dump_traceback_later(120, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def timer_fixture(timer, signum):
    @pytest.fixture
    def alarm(watchdog):
        """alarm(seconds, handler): the handler runs on the timer's signal, every `seconds`."""
        previous = signal.getsignal(signum)

        def start(seconds, handler, repeat=True):
            signal.signal(signum, handler)
            signal.setitimer(timer, seconds, seconds if repeat else 0)

        yield start
        signal.setitimer(timer, 0)
        signal.signal(signum, previous)

    return alarm


alarm = timer_fixture(signal.ITIMER_REAL, signal.SIGALRM)
# Counts the process's own processor time: a tick comes as far into a run
# however loaded the host is.
cpu_alarm = timer_fixture(signal.ITIMER_VIRTUAL, signal.SIGVTALRM)


def machine(limits):
    v = Velk()
    set_limits(v, **limits)
    v.run([Statement.let("x", Expr.literal(1))])
    return v


def raise_timeout(signum, frame):
    raise TimeoutError("deadline")


@pytest.mark.parametrize("limits", [NO_LIMITS, HIGH_LIMITS], ids=["unmetered", "metered"])
@pytest.mark.parametrize("statement", [Statement.let, lambda name, e: Statement.if_(Expr.equals(e, e), [], [])],
                         ids=["let", "if"])
def test_a_handler_that_raises_stops_the_run_with_its_exception(alarm, capfd, limits, statement):
    v = machine(limits)
    program = [Statement.let("before", Expr.literal(5)), statement("y", endless()),
               Statement.let("after", Expr.literal(6))]
    alarm(0.05, raise_timeout)
    with pytest.raises(TimeoutError) as info:
        v.run(program)
    assert type(info.value) is TimeoutError and str(info.value) == "deadline"
    assert capfd.readouterr().err == ""  # not a fault: no report
    assert v.get("before") == 5
    for name in ("y", "after"):
        with pytest.raises(PanicException):
            v.get(name)
    signal.setitimer(signal.ITIMER_REAL, 0)
    v.run([Statement.let("after", Expr.binary_op(Expr.ident("before"), "+", Expr.literal(1)))])
    assert v.get("after") == 6


def test_ctrl_c_stops_a_run_with_keyboard_interrupt(watchdog):
    v = machine(NO_LIMITS)
    # Python's own handler, whatever this process inherited: a shell without
    # job control starts background commands with SIGINT ignored.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    # The run holds the interpreter lock: the signal comes from another process.
    sender = subprocess.Popen(["sh", "-c", f"sleep 0.1; kill -INT {os.getpid()}"])
    try:
        with pytest.raises(KeyboardInterrupt):
            v.run([Statement.let("y", endless())])
    finally:
        sender.wait()
        signal.signal(signal.SIGINT, previous)
    v.run([Statement.let("z", Expr.literal(2))])
    assert v.get("z") == 2


@pytest.mark.parametrize("kind", [list, tuple])
def test_a_handler_that_empties_the_list_being_run_leaves_the_statement_being_run_alive(cpu_alarm, kind):
    v = machine(NO_LIMITS)
    program = kind(Statement.let(f"s{i}", Expr.binary_op(endless() if i == 3 else Expr.ident("x"), "+",
                                                         Expr.literal(i)))
                   for i in range(5))
    ticks = []

    def handler(signum, frame):
        ticks.append(signum)
        if isinstance(program, list):
            program.clear()  # the statements would be freed here but for the run's own references
        if len(ticks) == 2:
            raise TimeoutError("second tick")

    cpu_alarm(0.02, handler)
    with pytest.raises(TimeoutError, match="second tick"):
        v.run(program)
    assert [v.get(f"s{i}") for i in range(3)] == [1, 2, 3]


@pytest.mark.parametrize("change, error, z", [
    (lambda program: program.clear(), RuntimeError, None),  # the length changed
    (lambda program: program.append(program[0]), RuntimeError, None),
    (lambda program: program.__setitem__(1, 5), TypeError, None),
    (lambda program: program.__setitem__(1, Statement.let("z", Expr.literal(2))), None, 2),  # read afresh
])
def test_a_list_changed_by_a_handler_is_read_as_it_is_then(cpu_alarm, change, error, z):
    v = machine(NO_LIMITS)
    program = [Statement.let("y", doubling(25)), Statement.let("z", Expr.literal(1))]
    cpu_alarm(0.01, lambda signum, frame: change(program), repeat=False)
    if error is None:
        v.run(program)
    else:
        with pytest.raises(error):
            v.run(program)
    assert v.get("y") == 1 << 25  # the statement being run ran to its end
    if z is None:
        with pytest.raises(PanicException):
            v.get("z")
    else:
        assert v.get("z") == z


def test_a_run_outside_the_main_thread_is_not_interrupted_but_max_steps_bounds_it():
    code = """if True:
        import signal, threading
        from zarn import Expr, Statement, Velk
        from zarn_runtime import set_limits
        e = Expr.ident("x")
        for _ in range(64):
            e = Expr.binary_op(e, "+", e)
        v = Velk()
        set_limits(v, max_steps=20_000_000)
        v.run([Statement.let("x", Expr.literal(1))])
        seen = []
        signal.signal(signal.SIGALRM, lambda *a: seen.append("handled"))
        def work():
            signal.setitimer(signal.ITIMER_REAL, 0.01)
            try:
                v.run([Statement.let("y", e)])
            except BaseException as exc:
                seen.append(type(exc).__name__)
        t = threading.Thread(target=work)
        t.start(); t.join()
        print(seen)
    """
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    # The run ended at its steps limit; the handler ran in the main thread,
    # before the run or once it had given up the interpreter lock.
    assert sorted(eval(out.stdout)) == ["PanicException", "handled"], out.stderr
