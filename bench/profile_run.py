"""A fixed workload for profilers: RUNS runs of one 10,000-statement
`x = x + 1` program on one machine.

    valgrind --tool=callgrind python bench/profile_run.py 5
    perf record -g python bench/profile_run.py 200
"""
import sys
import time

from zarn import Expr, Statement, Velk


def main() -> None:
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    x = Expr.ident("x")
    program = [Statement.let("x", Expr.binary_op(x, "+", Expr.literal(1)))] * 10_000
    machine = Velk()
    machine.run([Statement.let("x", Expr.literal(0))])
    start = time.perf_counter()
    for _ in range(runs):
        machine.run(program)
    elapsed = time.perf_counter() - start
    assert machine.get("x") == runs * 10_000
    print(f"{elapsed / (runs * 10_000) * 1e9:.1f} ns per statement")


if __name__ == "__main__":
    main()
