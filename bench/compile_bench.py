#!/usr/bin/env python3
"""Times zarn_text's compiling against Python's own compile() at three sizes.

The text is the same block of rules repeated with fresh names (so that the
names a program binds grow with it, as in a large generated rule set):
assignments, += , an if/elif/else whose conditions use and, or, not, a
chained comparison and membership, and a conditional value. For each size
(10 KB, 100 KB and 1 MB by default) one run measures, fastest of a few
rounds (taking turns) with the garbage collector off, as in python_bench.py:

* `compile_program` (parse, plan, build, the input/output analysis);
* unpickling a Program (which compiles its source again);
* `compile_statements` (no lines, no analysis);
* `compile(text, name, "exec")`: CPython's compiler to a code object;
* `compile_program` again with the collector on: the collector walks the
  syntax tree that `ast.parse` makes (a few times, whatever its size),
  which `compile()` never makes as Python objects;

and prints seconds, microseconds per KB (flat when compiling is linear)
and the ratio to compile(). Then it times a failing `Program.run` of a
100,000-line program: the first failure (which finds where the lines
start) and each one after it. Usage:

    python bench/compile_bench.py [--sizes 10000,100000,1000000] [--rounds N]
"""

from __future__ import annotations

import argparse
import gc
import pickle
import time
from collections.abc import Callable

from zarn import Velk
from zarn_runtime import PanicException, set_fault_report

from zarn_text import compile_program, compile_statements

BLOCK = """\
v{i} = a{i} + 1
if v{i} > 3 and zone == "EU" or w{i} in (1, 2, 3):
    fee{i} = v{i} * 2
elif 0 < w{i} < 10 and not member:
    fee{i} = 1 if member else 2
else:
    fee{i} = 0
total += fee{i}
"""


def rules_text(size: int) -> str:
    parts = ["total = 0\n"]
    length = len(parts[0])
    i = 0
    while length < size:
        block = BLOCK.format(i=i)
        parts.append(block)
        length += len(block)
        i += 1
    return "".join(parts)


def fastest(calls: dict[str, Callable[[], object]], rounds: int) -> dict[str, float]:
    """The fastest time of each call over `rounds` rounds, the calls taking
    turns so that the load of a shared host falls on all of them alike.
    The collector is off, except for calls whose name says it is on."""
    best = dict.fromkeys(calls, float("inf"))
    try:
        for _ in range(rounds):
            for what, call in calls.items():
                gc.collect()
                if "collector on" not in what:
                    gc.disable()
                start = time.perf_counter()
                call()
                best[what] = min(best[what], time.perf_counter() - start)
                gc.enable()
    finally:
        gc.enable()
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--rounds", type=int, default=30, help="rounds at 10 KB (fewer for larger texts, 3 at least)")
    args = parser.parse_args()
    print(f"{'text':>9} {'what':<30} {'seconds':>9} {'us/KB':>8} {'x compile()':>12}")
    for size in (int(s) for s in args.sizes.split(",")):
        text = rules_text(size)
        program = compile_program(text, "rules.txt")
        pickled = pickle.dumps(program)
        rounds = max(3, round(args.rounds * (10_000 / size) ** 0.5))
        best = fastest({
            "compile_program": lambda: compile_program(text, "rules.txt"),
            "unpickle a Program": lambda: pickle.loads(pickled),
            "compile_statements": lambda: compile_statements(text, "rules.txt"),
            "compile() (CPython)": lambda: compile(text, "rules.txt", "exec"),
            "compile_program, collector on": lambda: compile_program(text, "rules.txt"),
        }, rounds)
        for what, seconds in best.items():
            print(f"{len(text):>9} {what:<30} {seconds:>9.4f} {seconds / len(text) * 1e9:>8.1f} "
                  f"{seconds / best['compile() (CPython)']:>12.2f}")

    # A failing run names its line: the first failure reads the source once,
    # the next ones look the line up.
    lines = 100_000
    program = compile_program("".join(f"x{i} = {i}\n" for i in range(lines - 1)) + "y = x0 + q\n", "big.txt")
    set_fault_report(False)

    def fail() -> None:
        try:
            program.run(Velk())
        except PanicException:
            pass

    first = fastest({"first": fail}, 1)["first"]
    after = fastest({"after": fail, "run": lambda: Velk().run(program.statements[:-1])}, 5)
    print(f"failing run of a {lines}-line program: first {first * 1e3:.1f} ms, then {after['after'] * 1e3:.1f} ms "
          f"(the run alone: {after['run'] * 1e3:.1f} ms)")


if __name__ == "__main__":
    main()
