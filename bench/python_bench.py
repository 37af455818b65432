#!/usr/bin/env python3
"""Times the zarn module against CPython, asteval and Lua (through lupa).

One run measures:

* `Velk.run` per statement on three programs of N statements each, against
  the same programs run by CPython (`exec` of code compiled once, and
  `compile` of a prebuilt `ast` tree + `exec` per run), asteval (tree parsed
  once, interpreted per run) and Lua (chunk loaded once and called per run,
  and loaded from source on every run);
* building trees with the `Expr`/`Statement` builders against constructing
  the equivalent `ast` nodes;
* `Velk.get` against a dict lookup, `repr` of a machine against `repr` of a
  dict of the same size;
* resident memory per stored variable, for a machine against a dict, each in
  a fresh interpreter.

Every timing is repeated after a warm-up run, with the garbage collector
off. Other jobs on a shared host only ever add time, so the table leads with
the fastest sample (the ratios use it) and shows the median beside it. Usage:

    python bench/python_bench.py [--quick] [--json PATH]
"""

from __future__ import annotations

import argparse
import ast
import ctypes
import ctypes.util
import functools
import gc
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable

try:
    from zarn import Expr, Statement, Velk
except ImportError as exc:  # pragma: no cover - environment problem
    sys.exit(f"python_bench: cannot import zarn ({exc}); run `pip install .` first")

try:
    import asteval
except ImportError:
    asteval = None

try:
    import lupa
except ImportError:
    lupa = None


@dataclass(frozen=True)
class Settings:
    statements: int  # statements per program
    repeats: int  # timed samples per measurement, after one warm-up
    min_sample_ns: int  # a sample loops the operation until it lasts this long
    memory_vars: int  # variables bound in each memory child process
    store_vars: int  # variables behind the get and repr measurements


FULL = Settings(statements=10_000, repeats=7, min_sample_ns=20_000_000,
                memory_vars=1_000_000, store_vars=10_000)
QUICK = Settings(statements=1_000, repeats=5, min_sample_ns=2_000_000,
                 memory_vars=100_000, store_vars=10_000)

# Variables every program starts from: a and c Int, b Float; x = 3 keeps the
# conditional program on its then-branch.
INITIAL = {"x": 3, "a": 7, "b": 2.5, "c": 3}

# Timing loops for the per-call measurements run this many calls per Python
# loop iteration, so the loop's own cost is a small share of each call.
UNROLL = 20
CALLS_PER_LOOP = 2_000
assert CALLS_PER_LOOP % UNROLL == 0, "the timing loop runs whole unrolled blocks"

# Chunk of let statements built and run at a time when binding the memory
# benchmark's variables, so the statement objects stay small next to the store.
MEMORY_CHUNK = 10_000


# --------------------------------------------------------------------------
# Statistics and timing


@dataclass
class Timing:
    median: float  # per unit (statement, node or call), ns or bytes
    best: float
    samples: list[float] = field(default_factory=list)

    @staticmethod
    def single(value: float) -> Timing:
        return Timing(value, value, [value])

    def as_json(self) -> dict[str, Any]:
        return {"median": self.median, "min": self.best, "samples": self.samples}


def measure(cases: list[tuple[Callable[[], object], int]], settings: Settings) -> list[Timing]:
    """Times each `fn` (which performs `units` units of work) per unit, in ns.

    The samples of the cases are taken in turns, so that a change of load on
    a shared host falls on every case alike.
    """
    gc.collect()
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        loops = []
        for fn, _ in cases:
            start = time.perf_counter_ns()
            fn()  # warm-up, also calibrates the loop count
            elapsed = max(time.perf_counter_ns() - start, 1)
            loops.append(max(1, math.ceil(settings.min_sample_ns / elapsed)))
        samples: list[list[float]] = [[] for _ in cases]
        for _ in range(settings.repeats):
            for (fn, units), count, out in zip(cases, loops, samples):
                start = time.perf_counter_ns()
                for _ in range(count):
                    fn()
                out.append((time.perf_counter_ns() - start) / (count * units))
    finally:
        if was_enabled:
            gc.enable()
    return [Timing(statistics.median(s), min(s), s) for s in samples]


def call_loop(statement: str, names: dict[str, object]) -> Callable[[], None]:
    """A function running `statement` CALLS_PER_LOOP times, unrolled."""
    body = "".join(f"        {statement}\n" for _ in range(UNROLL))
    source = f"def _loop():\n    for _ in _blocks:\n{body}"
    scope: dict[str, Any] = dict(names, _blocks=range(CALLS_PER_LOOP // UNROLL))
    exec(compile(source, "<call_loop>", "exec"), scope)
    loop: Callable[[], None] = scope["_loop"]
    return loop


# --------------------------------------------------------------------------
# The programs


@dataclass(frozen=True)
class Program:
    name: str
    python: str  # one statement, Python source
    lua: str  # the same statement, Lua source
    build_zarn: Callable[[], Statement]  # builds the statement with the builders
    zarn_nodes: int  # builder calls made by build_zarn
    build_ast: Callable[[], ast.stmt]  # the equivalent ast statement
    expected: dict[str, object]  # variables after one run of n statements from INITIAL


# Context and operator nodes are shared, as the parser shares them.
_LOAD, _STORE = ast.Load(), ast.Store()
_ADD, _SUB, _MUL, _DIV, _LT = ast.Add(), ast.Sub(), ast.Mult(), ast.Div(), ast.Lt()


def _zarn_increment() -> Statement:
    return Statement.let("x", Expr.binary_op(Expr.ident("x"), "+", Expr.literal(1)))


def _ast_increment() -> ast.stmt:
    return ast.Assign([ast.Name("x", _STORE)],
                      ast.BinOp(ast.Name("x", _LOAD), _ADD, ast.Constant(1)))


def _zarn_arithmetic() -> Statement:
    times3 = Expr.binary_op(Expr.ident("a"), "*", Expr.literal(3))
    half = Expr.binary_op(Expr.ident("b"), "/", Expr.literal(2))
    square = Expr.binary_op(Expr.ident("c"), "*", Expr.ident("c"))
    total = Expr.binary_op(Expr.binary_op(times3, "+", half), "-", square)
    return Statement.let("y", total)


def _ast_arithmetic() -> ast.stmt:
    times3 = ast.BinOp(ast.Name("a", _LOAD), _MUL, ast.Constant(3))
    half = ast.BinOp(ast.Name("b", _LOAD), _DIV, ast.Constant(2))
    square = ast.BinOp(ast.Name("c", _LOAD), _MUL, ast.Name("c", _LOAD))
    total = ast.BinOp(ast.BinOp(times3, _ADD, half), _SUB, square)
    return ast.Assign([ast.Name("y", _STORE)], total)


def _zarn_conditional() -> Statement:
    x = Expr.ident("x")
    return Statement.if_(
        Expr.less_than(x, Expr.literal(5)),
        [Statement.let("y", Expr.binary_op(Expr.ident("x"), "+", Expr.literal(1)))],
        [Statement.let("y", Expr.binary_op(Expr.ident("x"), "-", Expr.literal(1)))])


def _ast_conditional() -> ast.stmt:
    return ast.If(
        ast.Compare(ast.Name("x", _LOAD), [_LT], [ast.Constant(5)]),
        [ast.Assign([ast.Name("y", _STORE)],
                    ast.BinOp(ast.Name("x", _LOAD), _ADD, ast.Constant(1)))],
        [ast.Assign([ast.Name("y", _STORE)],
                    ast.BinOp(ast.Name("x", _LOAD), _SUB, ast.Constant(1)))])


def programs(n: int) -> list[Program]:
    return [
        Program("x = x + 1", "x = x + 1\n", "x = x + 1\n",
                _zarn_increment, 4, _ast_increment, {"x": INITIAL["x"] + n}),
        Program("y = ((a * 3) + (b / 2)) - (c * c)",
                "y = ((a * 3) + (b / 2)) - (c * c)\n",
                "y = ((a * 3) + (b / 2)) - (c * c)\n",
                _zarn_arithmetic, 12, _ast_arithmetic, {"y": 7 * 3 + 2.5 / 2 - 3 * 3}),
        Program("if x < 5: y = x + 1 else: y = x - 1",
                "if x < 5:\n    y = x + 1\nelse:\n    y = x - 1\n",
                "if x < 5 then y = x + 1 else y = x - 1 end\n",
                _zarn_conditional, 12, _ast_conditional, {"y": INITIAL["x"] + 1}),
    ]


# --------------------------------------------------------------------------
# Runners: each sets up one engine with INITIAL bound and returns a callable
# that runs the whole program once, plus a reader for its variables.

Runner = tuple[Callable[[], object], Callable[[str], object]]


def run_zarn(program: Program, n: int) -> Runner:
    machine = Velk()
    machine.run([Statement.let(k, Expr.literal(v)) for k, v in INITIAL.items()])
    stmts = [program.build_zarn() for _ in range(n)]  # reused by every run
    return functools.partial(machine.run, stmts), machine.get


def run_exec_precompiled(program: Program, n: int) -> Runner:
    scope = dict(INITIAL)
    code = compile(program.python * n, "<bench>", "exec")
    return functools.partial(exec, code, scope), scope.__getitem__


def run_compile_exec(program: Program, n: int) -> Runner:
    scope = dict(INITIAL)
    tree = ast.parse(program.python * n)

    def compile_and_run() -> None:
        exec(compile(tree, "<bench>", "exec"), scope)
    return compile_and_run, scope.__getitem__


def run_asteval(program: Program, n: int) -> Runner:
    interp = asteval.Interpreter(use_numpy=False, max_statement_length=10**8)
    for name, value in INITIAL.items():
        interp.symtable[name] = value
    tree = interp.parse(program.python * n)
    return functools.partial(interp.run, tree), interp.symtable.__getitem__


def _lua_runtime() -> Any:
    runtime = lupa.LuaRuntime()
    names = runtime.globals()
    for name, value in INITIAL.items():
        names[name] = value
    return runtime


def run_lua_precompiled(program: Program, n: int) -> Runner:
    runtime = _lua_runtime()
    return runtime.compile(program.lua * n), runtime.globals().__getitem__


def run_lua_load_run(program: Program, n: int) -> Runner:
    runtime = _lua_runtime()
    return functools.partial(runtime.execute, program.lua * n), runtime.globals().__getitem__


@dataclass(frozen=True)
class Peer:
    name: str
    make: Callable[[Program, int], Runner]
    missing: str | None  # why the peer cannot run, or None


PEERS = [
    Peer("CPython exec (precompiled)", run_exec_precompiled, None),
    Peer("CPython compile(ast) + exec", run_compile_exec, None),
    Peer("asteval (preparsed)", run_asteval,
         None if asteval else "asteval is not installed"),
    Peer("Lua (precompiled)", run_lua_precompiled,
         None if lupa else "lupa is not installed"),
    Peer("Lua (load + run)", run_lua_load_run,
         None if lupa else "lupa is not installed"),
]


def checked_runner(label: str, make: Callable[[Program, int], Runner],
                   program: Program, n: int) -> Callable[[], object]:
    """Runs a fresh engine once to check its result, then hands out a new one."""
    run, read = make(program, n)
    run()
    for name, want in program.expected.items():
        got = read(name)
        if got != want or type(got) is not type(want):
            raise AssertionError(f"{label} on {program.name!r}: {name} = {got!r}, want {want!r}")
    return make(program, n)[0]


# --------------------------------------------------------------------------
# Results


@dataclass
class Row:
    group: str  # what is measured
    unit: str  # "ns/statement", "ns/node", ...
    peer: str
    zarn: Timing
    other: Timing | None  # None when the peer is skipped
    note: str = ""

    def zarn_over_peer(self) -> float:
        assert self.other is not None, "a skipped peer has no ratio"
        return self.zarn.best / self.other.best

    def as_json(self) -> dict[str, Any]:
        ratio = self.zarn_over_peer() if self.other else None
        return {
            "group": self.group, "unit": self.unit, "peer": self.peer,
            "zarn": self.zarn.as_json(),
            "peer_result": self.other.as_json() if self.other else None,
            "zarn_over_peer": ratio,
            "peer_over_zarn": 1 / ratio if ratio else None,
            "note": self.note,
        }


def fmt(value: float) -> str:
    if value >= 100:
        return f"{value:,.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def table(rows: list[Row]) -> str:
    lines = ["| Measurement | Unit | zarn best (median) | Peer | peer best (median) "
             "| zarn / peer | peer / zarn |",
             "|---|---|---|---|---|---|---|"]
    for row in rows:
        zarn = f"{fmt(row.zarn.best)} ({fmt(row.zarn.median)})"
        if row.other is None:
            lines.append(f"| {row.group} | {row.unit} | {zarn} | {row.peer} "
                         f"| skipped: {row.note} | – | – |")
            continue
        ratio = row.zarn_over_peer()
        lines.append(f"| {row.group} | {row.unit} | {zarn} | {row.peer} "
                     f"| {fmt(row.other.best)} ({fmt(row.other.median)}) "
                     f"| {ratio:.2f} | {1 / ratio:.2f} |")
    return "\n".join(lines)


# --------------------------------------------------------------------------
# Measurements


def bench_programs(settings: Settings) -> list[Row]:
    n = settings.statements
    rows = []
    for program in programs(n):
        ready = [peer for peer in PEERS if not peer.missing]
        cases = [(checked_runner("zarn", run_zarn, program, n), n)]
        cases += [(checked_runner(peer.name, peer.make, program, n), n) for peer in ready]
        zarn, *others = measure(cases, settings)
        timing = dict(zip((peer.name for peer in ready), others))
        for peer in PEERS:
            rows.append(Row(program.name, "ns/statement", peer.name, zarn,
                            timing.get(peer.name), peer.missing or ""))
    return rows


def bench_building(settings: Settings) -> list[Row]:
    rows = []
    for program in programs(1):
        nodes = program.zarn_nodes
        zarn, other = measure([(program.build_zarn, nodes), (program.build_ast, nodes)], settings)
        rows.append(Row(f"build: {program.name}", "ns/node", "ast node constructors", zarn, other,
                        f"{nodes} builder calls per statement"))
    return rows


def bench_store(settings: Settings) -> list[Row]:
    count = settings.store_vars
    machine = Velk()
    machine.run([Statement.let(f"v{i}", Expr.literal(i)) for i in range(count)])
    table_ = {f"v{i}": i for i in range(count)}
    key = f"v{count // 2}"
    assert machine.get(key) == table_[key]

    names = {"get": machine.get, "d": table_, "dget": table_.get, "k": key}
    zarn_get, subscript, dict_get = measure(
        [(call_loop(stmt, names), CALLS_PER_LOOP) for stmt in ("get(k)", "d[k]", "dget(k)")],
        settings)
    zarn_repr, dict_repr = measure(
        [(functools.partial(repr, machine), 1), (functools.partial(repr, table_), 1)], settings)
    return [
        Row("get (one str identifier)", "ns/call", "dict[k]", zarn_get, subscript),
        Row("get (one str identifier)", "ns/call", "dict.get(k)", zarn_get, dict_get),
        Row(f"repr, {count:,} variables", "ns/repr", "repr(dict)", zarn_repr, dict_repr,
            f"{len(repr(machine)):,} vs {len(repr(table_)):,} characters"),
    ]


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def settled_rss() -> int:
    """Resident size after collecting garbage and handing free heap back."""
    gc.collect()
    libc_name = ctypes.util.find_library("c")
    if libc_name:
        libc = ctypes.CDLL(libc_name)
        if hasattr(libc, "malloc_trim"):
            libc.malloc_trim(0)
    return rss_bytes()


def memory_child(kind: str, count: int) -> None:
    """Binds `count` variables v0.. to the Ints 0.. and prints the RSS delta."""
    if kind == "zarn":
        machine = Velk()
        before = settled_rss()
        for start in range(0, count, MEMORY_CHUNK):
            chunk = [Statement.let(f"v{i}", Expr.literal(i))
                     for i in range(start, min(count, start + MEMORY_CHUNK))]
            machine.run(chunk)
        del chunk
        after = settled_rss()
        assert machine.get(f"v{count - 1}") == count - 1
    else:
        before = settled_rss()
        table_ = {f"v{i}": i for i in range(count)}
        after = settled_rss()
        assert table_[f"v{count - 1}"] == count - 1
    print(json.dumps({"before": before, "after": after}))


def bench_memory(settings: Settings) -> list[Row]:
    count = settings.memory_vars
    per_var = {}
    for kind in ("zarn", "dict"):
        out = subprocess.run([sys.executable, __file__, "--memory-child", kind, str(count)],
                             check=True, capture_output=True, text=True).stdout
        result = json.loads(out)
        per_var[kind] = (result["after"] - result["before"]) / count
    mib = {kind: per_var[kind] * count / 2**20 for kind in per_var}
    return [Row(f"memory, {count:,} variables", "bytes/variable", "dict",
                Timing.single(per_var["zarn"]), Timing.single(per_var["dict"]),
                'text identifiers / str keys "v0".."v%d" bound to the Ints 0..%d (int objects '
                'in the dict); RSS delta in a fresh process: %.1f MiB vs %.1f MiB'
                % (count - 1, count - 1, mib["zarn"], mib["dict"]))]


# --------------------------------------------------------------------------
# Targets


def targets(rows: list[Row]) -> list[dict[str, Any]]:
    def find(group: str, peer: str) -> Row | None:
        return next((r for r in rows if r.group == group and r.peer == peer and r.other), None)

    # Goals per program: peer, wording, and the bound on zarn/peer (strict or not).
    goals = (("CPython exec (precompiled)", "zarn/peer <= 1.5", 1.5, False),
             ("Lua (load + run)", "zarn/peer < 1 (faster)", 1.0, True),
             ("asteval (preparsed)", "peer/zarn >= 50", 1 / 50, False))
    checks = []
    for program in programs(1):
        for peer, goal, bound, strict in goals:
            row = find(program.name, peer)
            if row:
                ratio = row.zarn_over_peer()
                met = ratio < bound if strict else ratio <= bound
                checks.append({"what": f"{program.name} vs {peer}", "goal": goal,
                               "zarn_over_peer": ratio, "met": met})
    memory = next((r for r in rows if r.unit == "bytes/variable" and r.other), None)
    if memory:
        ratio = memory.zarn_over_peer()
        checks.append({"what": "memory per variable vs dict", "goal": "zarn/peer <= 1",
                       "zarn_over_peer": ratio, "met": ratio <= 1})
    return checks


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="smoke run: fewer statements, samples and variables")
    parser.add_argument("--json", metavar="PATH", help="also write the results to PATH")
    parser.add_argument("--memory-child", nargs=2, metavar=("KIND", "COUNT"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        memory_child(args.memory_child[0], int(args.memory_child[1]))
        return

    settings = QUICK if args.quick else FULL
    load_before = os.getloadavg()
    started = time.perf_counter()
    rows = bench_programs(settings) + bench_building(settings) + bench_store(settings)
    rows += bench_memory(settings)
    load_after = os.getloadavg()

    meta = {
        "mode": "quick" if args.quick else "full",
        "python": sys.version.split()[0],
        "asteval": getattr(asteval, "__version__", None),
        "lupa": getattr(lupa, "__version__", None),
        "lua": ".".join(map(str, lupa.LuaRuntime().lua_version)) if lupa else None,
        "machine": platform.machine(),
        "cpus": os.cpu_count(),
        "load_average_before": load_before,
        "load_average_after": load_after,
        "statements_per_program": settings.statements,
        "repeats": settings.repeats,
        "ratios_from": "best sample",
        "seconds": round(time.perf_counter() - started, 1),
    }
    print(f"zarn benchmark ({meta['mode']}): Python {meta['python']}, asteval {meta['asteval']}, "
          f"lupa {meta['lupa']} (Lua {meta['lua']}), {meta['cpus']} CPUs")
    print(f"{settings.statements:,} statements per program; best (median) of "
          f"{settings.repeats} samples after a warm-up run")
    print("load average before: %.2f %.2f %.2f, after: %.2f %.2f %.2f"
          % (*load_before, *load_after))
    print()
    print(table(rows))
    notes = [f"{r.group}: {r.note}" for r in rows if r.note and r.other]
    if notes:
        print()
        for note in dict.fromkeys(notes):
            print(f"- {note}")
    checks = targets(rows)
    print()
    for check in checks:
        ratio = check["zarn_over_peer"]
        print(f"target {'met' if check['met'] else 'MISSED'}: {check['what']}: "
              f"{check['goal']} (zarn/peer = {ratio:.2f}, peer/zarn = {1 / ratio:.2f})")
    print(f"\ntook {meta['seconds']} s")

    if args.json:
        with open(args.json, "w") as out:
            json.dump({"meta": meta, "results": [r.as_json() for r in rows],
                       "targets": checks}, out, indent=2)


if __name__ == "__main__":
    main()
