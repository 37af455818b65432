"""A fixed workload for profilers: RUNS runs of one program of COUNT statements (default 10,000)
on one machine. The statements are distinct objects, built once, as in
python_bench.py.

    valgrind --tool=callgrind python bench/profile_run.py RUNS [increment|mixed|branch] [COUNT] [limited] [churn]
    perf record -g python bench/profile_run.py 200 mixed

With `limited` the machine has all three limits set, far above what the
program needs, so that every check runs and none fails. With `churn`,
CHURN_VALUES literals are made and dropped in a random order before the
program is built, as a long-lived process frees its values: the blocks the
program's literals then get lie wherever those were.
"""
import random
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

CHURN_VALUES = 50_000


def churn() -> None:
    values = [Expr.literal(i) for i in range(CHURN_VALUES)]
    random.Random(1).shuffle(values)
    values.clear()


def main() -> None:
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    make = PROGRAMS[sys.argv[2] if len(sys.argv) > 2 else "increment"]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 10_000
    flags = sys.argv[4:]
    if "churn" in flags:
        churn()
    program = [make() for _ in range(count)]
    machine = Velk()
    if "limited" in flags:
        from zarn_runtime import set_limits
        set_limits(machine, max_text=1 << 20, max_bytes=1 << 30, max_steps=1 << 62)
    machine.run([Statement.let(k, Expr.literal(v)) for k, v in
                 {"x": 0, "a": 7, "b": 2.5, "c": 3}.items()])
    start, cpu_start = time.perf_counter(), time.process_time()
    for _ in range(runs):
        machine.run(program)
    elapsed, cpu = time.perf_counter() - start, time.process_time() - cpu_start
    if make is increment:
        assert machine.get("x") == runs * count
    per = 1e9 / (runs * count)
    # The processor time leaves out the time other jobs of a busy host took.
    print(f"{elapsed * per:.1f} ns per statement ({cpu * per:.1f} ns of processor time)")


if __name__ == "__main__":
    main()
