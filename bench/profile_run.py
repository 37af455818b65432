"""A fixed workload for profilers: RUNS runs of one program of COUNT statements (default 10,000)
on one machine. The statements are distinct objects, built once, as in
python_bench.py.

    valgrind --tool=callgrind python bench/profile_run.py RUNS [increment|mixed|branch] [COUNT] [limited]
    perf record -g python bench/profile_run.py 200 mixed

With `limited` the machine has all three limits set, far above what the
program needs, so that every check runs and none fails.
"""
import sys
import time

from zarn import Expr, Statement, Velk


def increment() -> Statement:
    return Statement.let("x", Expr.binary_op(Expr.ident("x"), "+", Expr.literal(1)))


def mixed() -> Statement:
    times3 = Expr.binary_op(Expr.ident("a"), "*", Expr.literal(3))
    half = Expr.binary_op(Expr.ident("b"), "/", Expr.literal(2))
    square = Expr.binary_op(Expr.ident("c"), "*", Expr.ident("c"))
    return Statement.let("y", Expr.binary_op(Expr.binary_op(times3, "+", half), "-", square))


def branch() -> Statement:
    return Statement.if_(
        Expr.less_than(Expr.ident("x"), Expr.literal(5)),
        [Statement.let("y", Expr.binary_op(Expr.ident("x"), "+", Expr.literal(1)))],
        [Statement.let("y", Expr.binary_op(Expr.ident("x"), "-", Expr.literal(1)))])


PROGRAMS = {"increment": increment, "mixed": mixed, "branch": branch}


def main() -> None:
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    make = PROGRAMS[sys.argv[2] if len(sys.argv) > 2 else "increment"]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 10_000
    program = [make() for _ in range(count)]
    machine = Velk()
    if len(sys.argv) > 4 and sys.argv[4] == "limited":
        from zarn_runtime import set_limits
        set_limits(machine, max_text=1 << 20, max_bytes=1 << 30, max_steps=1 << 62)
    machine.run([Statement.let(k, Expr.literal(v)) for k, v in
                 {"x": 0, "a": 7, "b": 2.5, "c": 3}.items()])
    start = time.perf_counter()
    for _ in range(runs):
        machine.run(program)
    elapsed = time.perf_counter() - start
    if make is increment:
        assert machine.get("x") == runs * count
    print(f"{elapsed / (runs * count) * 1e9:.1f} ns per statement")


if __name__ == "__main__":
    main()
