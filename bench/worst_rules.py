"""How long a hostile rule can hold the interpreter lock, and how soon a
signal stops a run.

    python bench/worst_rules.py [--repeat N]

Worst rules: every rule runs on a machine with the limits that
docs/untrusted-rules.rst recommends for a service (max_text=1 MiB,
max_bytes=16 MiB, max_steps=100,000), as a list of 100,000 statements that
runs until max_steps stops it. Its time is set against the floor, 100,000
steps of integer arithmetic (25,000 lines of `x = x + 1`); the target is no
rule above 20 times the floor. The inputs (texts bound before the run) are
not timed. Each rule runs N times (default 9), the rules interleaved; the
ratio is of the fastest runs.

Signal latency: a run of a 65-object tree of 2**64 nodes on a machine
without limits, stopped by a SIGALRM handler that raises TimeoutError; the
figure is the time from the timer's expiry to the exception in the caller,
over N runs (the target is 50 ms).
"""
from __future__ import annotations

import argparse
import signal
import statistics
import time
from collections.abc import Callable

from zarn import Expr, Statement, Velk
from zarn_runtime import PanicException, set_fault_report, set_limits

lit, ident, let = Expr.literal, Expr.ident, Statement.let
LIMITS = {"max_text": 1 << 20, "max_bytes": 16 << 20, "max_steps": 100_000}
LINES = 100_000  # more than any rule below can run under max_steps
MiB = 1 << 20


def doubling(leaf: Expr, levels: int) -> Expr:
    e = leaf
    for _ in range(levels):
        e = Expr.binary_op(e, "+", e)
    return e


def not_chain(depth: int) -> Expr:
    e = lit(True)
    for _ in range(depth):
        e = Expr.not_(e)
    return e


def same(statement: Statement, lines: int = LINES) -> list[Statement]:
    return [statement] * lines


def distinct(make: Callable[[], Statement], lines: int = LINES) -> list[Statement]:
    return [make() for _ in range(lines)]


LONG_NAME = "v" * (MiB - 1)

# name: (inputs bound before the run, the program)
RULES: dict[str, tuple[dict[str, object], list[Statement]]] = {
    "floor: x = x + 1 (25,000 lines)": (
        {"x": 0}, distinct(lambda: let("x", Expr.binary_op(ident("x"), "+", lit(1))), 25_000)),
    "y = s == t, two texts of 1 MiB": (
        {"s": "a" * MiB, "t": "a" * MiB}, same(let("y", Expr.equals(ident("s"), ident("t"))))),
    "y = s == t, two texts of 64 bytes": (
        {"s": "a" * 64, "t": "a" * 64}, same(let("y", Expr.equals(ident("s"), ident("t"))))),
    "if s == t: y = 1, texts of 1 MiB": (
        {"s": "a" * MiB, "t": "a" * MiB},
        same(Statement.if_(Expr.equals(ident("s"), ident("t")), [let("y", lit(1))], []))),
    "y = s + t, 512 KiB each": (
        {"s": "a" * (MiB // 2), "t": "b" * (MiB // 2)}, same(let("y", Expr.binary_op(ident("s"), "+", ident("t"))))),
    "y = s + t, 31 + 32 bytes (no text step)": (
        {"s": "a" * 31, "t": "b" * 32}, same(let("y", Expr.binary_op(ident("s"), "+", ident("t"))))),
    "y = s, a text of 1 MiB bound": (
        {"s": "a" * MiB}, same(let("y", ident("s")))),
    "y = a literal text of 1 MiB": (
        {}, same(let("y", lit("a" * MiB)))),
    "a name of 1 MiB, read": (
        {LONG_NAME: 1}, same(let("y", ident(LONG_NAME)))),
    "a name of 1 MiB, bound": (
        {}, same(let(LONG_NAME, lit(1)))),
    "shared tree: x + x, 60 levels": (
        {"x": 1}, [let("y", doubling(ident("x"), 60))]),
    "shared tree of joins of a 1-byte text": (
        {"x": "a"}, same(let("y", doubling(ident("x"), 20)), 100)),
    "deep tree: 200,000 nested `not`": (
        {}, [let("y", not_chain(200_000))]),
}


def time_rule(inputs: dict[str, object], program: list[Statement]) -> float:
    machine = Velk()
    set_limits(machine, **LIMITS)
    machine.run([let(name, lit(value)) for name, value in inputs.items()])
    start = time.perf_counter()
    try:
        machine.run(program)
    except PanicException:
        pass
    return time.perf_counter() - start


def worst_rules(repeat: int) -> None:
    times = {name: [] for name in RULES}
    for _ in range(repeat):  # interleaved: a change in the host's load hits every rule
        for name, (inputs, program) in RULES.items():
            times[name].append(time_rule(inputs, program))
    # Other jobs on a shared host only ever add time: the ratios use the
    # fastest sample, the median is shown beside it.
    floor = min(next(iter(times.values())))
    print(f"{'rule':<45} {'fastest ms':>10} {'median ms':>10} {'x floor':>8}")
    for name, samples in times.items():
        fastest = min(samples)
        print(f"{name:<45} {fastest * 1e3:10.2f} {statistics.median(samples) * 1e3:10.2f} {fastest / floor:8.1f}")


def signal_latency(repeat: int) -> None:
    machine = Velk()
    machine.run([let("x", lit(1))])
    program = [let("y", doubling(ident("x"), 64))]

    def deadline(signum, frame):
        raise TimeoutError

    previous = signal.signal(signal.SIGALRM, deadline)
    delays = []
    try:
        for _ in range(repeat):
            due = time.perf_counter() + 0.02
            signal.setitimer(signal.ITIMER_REAL, 0.02)
            try:
                machine.run(program)
            except TimeoutError:
                delays.append(time.perf_counter() - due)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    print(f"signal latency on a 2**64-node shared tree, {len(delays)} runs: "
          f"median {statistics.median(delays) * 1e3:.3f} ms, max {max(delays) * 1e3:.3f} ms")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=9)
    args = parser.parse_args()
    set_fault_report(False)  # every rule ends at the steps limit
    worst_rules(args.repeat)
    signal_latency(max(args.repeat, 20))


if __name__ == "__main__":
    main()
