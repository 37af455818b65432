#!/usr/bin/env python3
"""Times the zarn module against CPython, asteval and Lua (through lupa).

One run measures:

* `Velk.run` per statement on three programs of N statements each, against
  the same programs run by CPython (`exec` of code compiled once, and
  `compile` of a prebuilt `ast` tree + `exec` per run), asteval (tree parsed
  once, interpreted per run) and Lua (chunk loaded once and called per run,
  and loaded from source on every run);
  the same programs built from one statement object repeated n times, against
  `exec`;
* one shipping-fee request (examples/shipping_fee.py) as a service serves it,
  with the inputs bound by `let`s and by one `zarn_runtime.bind`:
  a fresh machine, the inputs bound, the prebuilt rules run, two results read;
  against `exec` into a fresh dict, asteval and a plain Python function;
* the same request as one `Program.evaluate` call, and 10,000 rows of it in
  one `Program.evaluate_many` call, against `exec` into a fresh dict whose
  outputs are read into a dict;
* compiling the shipping-fee rules text with `zarn_text` against `compile()`
  of the same source to a code object;
* building trees with the `Expr`/`Statement` builders against constructing
  the equivalent `ast` nodes, and each builder call, `Velk()` and `Velk.get`
  on its own against `len(x)`;
* building a chain of `Expr.not_` of depth d and of depth 2d;
* `Velk.get` against a dict lookup, `repr` of a machine against `repr` of a
  dict of the same size;
* each program run on trees built in a fresh process against trees built
  after a large program was built, run and dropped (allocation history);
* resident memory per stored variable, for a machine against a dict, each in
  a fresh interpreter.

Every timing is repeated after a warm-up run, with the garbage collector
off. Other jobs on a shared host only ever add time, so the table leads with
the fastest sample (the ratios use it) and shows the median beside it. Usage:

    python bench/python_bench.py [--quick] [--json PATH] [--depth D] [--depth-budget SECONDS]
"""

from __future__ import annotations

import argparse
import ast
import ctypes
import ctypes.util
import functools
import gc
import importlib.util
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any, Callable

try:
    from zarn import Expr, Statement, Velk
    from zarn_runtime import bind
    from zarn_text import compile_program, compile_statements
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
    depth: int  # d of the build-depth measurement (d and 2d are built)
    depth_budget_s: float  # seconds the two depth builds may take together
    history_statements: int  # statements built, run and dropped before the recycled build


FULL = Settings(statements=10_000, repeats=7, min_sample_ns=20_000_000,
                memory_vars=1_000_000, store_vars=10_000, depth=100_000, depth_budget_s=30.0,
                history_statements=200_000)
QUICK = Settings(statements=1_000, repeats=5, min_sample_ns=2_000_000,
                 memory_vars=100_000, store_vars=10_000, depth=2_000, depth_budget_s=5.0,
                 history_statements=20_000)

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


def run_zarn(program: Program, n: int, repeated: bool = False) -> Runner:
    machine = Velk()
    machine.run([Statement.let(k, Expr.literal(v)) for k, v in INITIAL.items()])
    # Reused by every run: n statement objects built one by one, or one object
    # n times.
    stmts = [program.build_zarn()] * n if repeated else [program.build_zarn() for _ in range(n)]
    return functools.partial(machine.run, stmts), machine.get


def run_zarn_repeated(program: Program, n: int) -> Runner:
    return run_zarn(program, n, repeated=True)


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


EXEC = PEERS[0].name  # the peer of the one-object-repeated variant


def repeated_group(program: Program) -> str:
    return f"{program.name}, one object repeated"


def bench_programs(settings: Settings) -> list[Row]:
    n = settings.statements
    rows = []
    for program in programs(n):
        ready = [peer for peer in PEERS if not peer.missing]
        cases = [(checked_runner("zarn", run_zarn, program, n), n),
                 (checked_runner("zarn (repeated)", run_zarn_repeated, program, n), n)]
        cases += [(checked_runner(peer.name, peer.make, program, n), n) for peer in ready]
        zarn, zarn_repeated, *others = measure(cases, settings)
        timing = dict(zip((peer.name for peer in ready), others))
        for peer in PEERS:
            rows.append(Row(program.name, "ns/statement", peer.name, zarn,
                            timing.get(peer.name), peer.missing or f"{n:,} distinct statement objects"))
        rows.append(Row(repeated_group(program), "ns/statement", EXEC, zarn_repeated, timing[EXEC],
                        f"one statement object {n:,} times in the list"))
    return rows


# --------------------------------------------------------------------------
# One request of a service: examples/shipping_fee.py


def _load_example(name: str) -> Any:
    path = Path(__file__).resolve().parent.parent / "examples" / f"{name}.py"
    spec = importlib.util.spec_from_file_location(f"_bench_{name}", path)
    assert spec and spec.loader, f"cannot load {path}"
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# The inputs bound by one call instead of a `let` each.
BIND = "zarn, inputs by zarn_runtime.bind"
REQUEST_BIND = "shipping-fee request, inputs by bind"

# The example's rules are written in Python's syntax with the same meaning
# for this program (no `/`), so exec and asteval run the very same text.
SHIPPING_INPUTS = ("zone", "weight_kg", "member", "total")


def shipping_fee_python(zone: str, weight_kg: float, member: bool, total: float) -> tuple[Any, str]:
    """The floor: the rules as a plain Python function."""
    base = 5 if zone == "domestic" else 15
    surcharge = (weight_kg - 10) * 0.5 if weight_kg > 10 else 0
    fee = base + surcharge
    if member and total > 50:
        fee = 0
    return fee, zone + " shipping"


def request_runners() -> tuple[list[Any], dict[str, Callable[[], list[tuple[Any, Any]]]]]:
    """The example's orders, and per engine a callable serving all of them."""
    example = _load_example("shipping_fee")
    orders = list(example.ORDERS)
    rules, lit = example.RULES, Expr.literal  # rules built once

    def zarn() -> list[tuple[Any, Any]]:
        out = []
        for order in orders:
            machine = Velk()
            machine.run([Statement.let(name, lit(value)) for name, value in zip(SHIPPING_INPUTS, order)])
            machine.run(rules)
            out.append((machine.get("fee"), machine.get("note")))
        return out

    def zarn_bind() -> list[tuple[Any, Any]]:
        out = []
        for order in orders:
            machine = Velk()
            bind(machine, dict(zip(SHIPPING_INPUTS, order)))
            machine.run(rules)
            out.append((machine.get("fee"), machine.get("note")))
        return out

    code = compile(example.RULES_TEXT, "<shipping_fee>", "exec")

    def exec_fresh() -> list[tuple[Any, Any]]:
        out = []
        for order in orders:
            scope = dict(zip(SHIPPING_INPUTS, order))
            exec(code, scope)
            out.append((scope["fee"], scope["note"]))
        return out

    def plain() -> list[tuple[Any, Any]]:
        return [shipping_fee_python(*order) for order in orders]

    runners = {"zarn": zarn, BIND: zarn_bind, "CPython exec into a fresh dict": exec_fresh,
               "plain Python function": plain}
    if asteval:
        interp = asteval.Interpreter(use_numpy=False)
        tree = interp.parse(example.RULES_TEXT)
        symtable = interp.symtable

        def asteval_reused() -> list[tuple[Any, Any]]:
            out = []
            for order in orders:
                for name, value in zip(SHIPPING_INPUTS, order):
                    symtable[name] = value
                interp.run(tree)
                out.append((symtable["fee"], symtable["note"]))
            return out
        runners["asteval (one interpreter)"] = asteval_reused
    return orders, runners


def bench_request(settings: Settings) -> list[Row]:
    orders, runners = request_runners()
    want = runners["plain Python function"]()
    for name, serve in runners.items():
        got = serve()
        if got != want or [type(f) for f, _ in got] != [type(f) for f, _ in want]:
            raise AssertionError(f"{name} on the shipping-fee orders: {got!r}, want {want!r}")
    names = list(runners)
    timings = dict(zip(names, measure([(runners[n], len(orders)) for n in names], settings)))
    rules_lines = len(_load_example("shipping_fee").RULES_TEXT.splitlines())
    note = (f"per request: {len(SHIPPING_INPUTS)} inputs bound, {rules_lines}-line "
            f"rules run, 2 results read; the {len(orders)} orders of examples/shipping_fee.py in turn")
    peers = [name for name in names if name not in ("zarn", BIND)]
    rows = [Row("shipping-fee request", "ns/request", name, timings["zarn"], timings[name], note)
            for name in peers]
    rows += [Row(REQUEST_BIND, "ns/request", name, timings[BIND], timings[name], note) for name in peers]
    if not asteval:
        rows.append(Row("shipping-fee request", "ns/request", "asteval (one interpreter)",
                        timings["zarn"], None, "asteval is not installed"))
    return rows


# A request as one call, and a batch of rows: zarn_text's Program.evaluate
# and evaluate_many against exec of the same code compiled once, the inputs
# in a fresh dict and the outputs read into a dict (what evaluate returns).
EVALUATE_ROWS = 10_000
EVALUATE_PEER = "CPython exec into a fresh dict, outputs read into a dict"


def evaluate_runners() -> dict[str, Callable[[], list[dict[str, Any]]]]:
    """Per engine, a callable serving the example's orders one call each,
    and one serving EVALUATE_ROWS rows as a batch."""
    example = _load_example("shipping_fee")
    orders = list(example.ORDERS)
    program = compile_program(example.RULES_TEXT, "shipping_rules")
    outputs = sorted(program.outputs)
    code = compile(example.RULES_TEXT, "<shipping_fee>", "exec")
    # The dict display the peer reads its outputs into, compiled once.
    read_outputs = eval("lambda scope: {" + ", ".join(f"{n!r}: scope[{n!r}]" for n in outputs) + "}")
    rows = [dict(zip(SHIPPING_INPUTS, orders[i % len(orders)])) for i in range(EVALUATE_ROWS)]

    def evaluate() -> list[dict[str, Any]]:
        return [program.evaluate(dict(zip(SHIPPING_INPUTS, order))) for order in orders]

    def exec_read() -> list[dict[str, Any]]:
        out = []
        for order in orders:
            scope = dict(zip(SHIPPING_INPUTS, order))
            exec(code, scope)
            out.append(read_outputs(scope))
        return out

    def evaluate_many() -> list[dict[str, Any]]:
        return program.evaluate_many(rows)

    def exec_rows() -> list[dict[str, Any]]:
        out = []
        for row in rows:
            scope = dict(row)
            exec(code, scope)
            out.append(read_outputs(scope))
        return out

    return {"evaluate": evaluate, "exec": exec_read, "evaluate_many": evaluate_many, "exec rows": exec_rows}


def bench_evaluate(settings: Settings) -> list[Row]:
    runners = evaluate_runners()
    for zarn, peer in (("evaluate", "exec"), ("evaluate_many", "exec rows")):
        got, want = runners[zarn](), runners[peer]()
        if got != want:
            raise AssertionError(f"{zarn} on the shipping-fee orders: {got[:4]!r}, want {want[:4]!r}")
    orders = len(runners["evaluate"]())
    names = list(runners)
    units = {"evaluate": orders, "exec": orders, "evaluate_many": EVALUATE_ROWS, "exec rows": EVALUATE_ROWS}
    timings = dict(zip(names, measure([(runners[n], units[n]) for n in names], settings)))
    peer = EVALUATE_PEER
    return [
        Row("shipping-fee request, Program.evaluate", "ns/request", peer, timings["evaluate"], timings["exec"],
            f"inputs in a fresh dict, every output read; the {orders} orders of examples/shipping_fee.py in turn"),
        Row("shipping-fee rows, Program.evaluate_many", "ns/row", peer, timings["evaluate_many"],
            timings["exec rows"], f"{EVALUATE_ROWS:,} rows of the orders in one call; exec copies each row"),
    ]


COMPILE_PEER = "CPython compile() to a code object"


def bench_compile(settings: Settings) -> list[Row]:
    text = _load_example("shipping_fee").RULES_TEXT
    order: dict[str, str | int | bool] = dict(zip(SHIPPING_INPUTS, ("international", 12, True, 120)))
    machine = Velk()
    machine.run([Statement.let(name, Expr.literal(value)) for name, value in order.items()])
    machine.run(compile_statements(text))
    scope = dict(order)
    exec(compile(text, "<rules>", "exec"), scope)
    if (machine.get("fee"), machine.get("note")) != (scope["fee"], scope["note"]):
        raise AssertionError("the compiled shipping-fee rules disagree with CPython")
    zarn, other = measure([(functools.partial(compile_statements, text, "<rules>"), 1),
                           (functools.partial(compile, text, "<rules>", "exec"), 1)], settings)
    return [Row("compile: shipping-fee rules text", "ns/compile", COMPILE_PEER, zarn, other,
                f"zarn_text.compile_statements of the {len(text.splitlines())}-line rules text of "
                "examples/shipping_fee.py, to a list of statements")]


def bench_building(settings: Settings) -> list[Row]:
    rows = []
    for program in programs(1):
        nodes = program.zarn_nodes
        zarn, other = measure([(program.build_zarn, nodes), (program.build_ast, nodes)], settings)
        rows.append(Row(f"build: {program.name}", "ns/node", "ast node constructors", zarn, other,
                        f"{nodes} builder calls per statement"))
    return rows


BUILDER_CALLS = ("Expr.literal(1)", "Expr.literal(12.0)", 'Expr.literal("s")', "Expr.literal(None)",
                 "Expr.literal(True)", 'Expr.ident("x")', "Expr.ident(3)", 'Expr.binary_op(e, "+", e)',
                 'Statement.let("x", e)', "Statement.if_(e, [s], [])")
MACHINE_CALLS = ("Velk()", 'v.get("x")')
BASE_CALL = "len(x)"


def bench_calls(settings: Settings) -> list[Row]:
    e = Expr.literal(1)
    s = Statement.let("x", e)
    v = Velk()
    v.run([s])
    names = {"Expr": Expr, "Statement": Statement, "Velk": Velk, "e": e, "s": s, "v": v, "x": [1, 2]}
    calls = (BASE_CALL, *BUILDER_CALLS, *MACHINE_CALLS)
    base, *timings = measure([(call_loop(call, names), CALLS_PER_LOOP) for call in calls], settings)
    return [Row(f"call: {call}", "ns/call", BASE_CALL, timing, base,
                "exact-type arguments; e, s and v prebuilt; the loop's own cost is on both sides")
            for call, timing in zip(calls[1:], timings)]


def build_not_chain(depth: int) -> Expr:
    e = Expr.literal(True)
    not_ = Expr.not_
    for _ in range(depth):
        e = not_(e)
    return e


def time_not_chain(depth: int) -> float:
    """ns to build a not_ chain of `depth` levels (dropping it is not timed)."""
    gc.disable()
    try:
        start = time.perf_counter_ns()
        chain = build_not_chain(depth)
        elapsed = time.perf_counter_ns() - start
    finally:
        gc.enable()
    del chain
    return float(elapsed)


def fitting_depth(settings: Settings, rounds: int) -> tuple[int, str]:
    """The depth d to measure: settings.depth, or less when building d and 2d
    `rounds` times each would overrun the budget at the growth seen between
    two small probes."""
    probe = min(settings.depth, 2_000)
    small = min(time_not_chain(probe) for _ in range(3))
    double = min(time_not_chain(2 * probe) for _ in range(3))
    exponent = max(1.0, math.log2(max(double, 1.0) / max(small, 1.0)))

    def estimate_s(depth: int) -> float:
        return rounds * small * (depth / probe) ** exponent * (1 + 2**exponent) / 1e9

    depth = settings.depth
    while depth > probe and estimate_s(depth) > settings.depth_budget_s:
        depth //= 2
    if depth == settings.depth:
        return depth, ""
    return depth, (f"depth {settings.depth:,} skipped: building grows as depth^{exponent:.1f} here, "
                   f"an estimated {estimate_s(settings.depth):,.0f} s against a budget of "
                   f"{settings.depth_budget_s:,.0f} s")


def bench_depth(settings: Settings) -> list[Row]:
    rounds = min(settings.repeats, 3)
    depth, skipped = fitting_depth(settings, rounds)
    samples: dict[int, list[float]] = {depth: [], 2 * depth: []}
    for _ in range(rounds):
        for d in samples:
            samples[d].append(time_not_chain(d))
    single, double = (Timing(statistics.median(samples[d]), min(samples[d]), samples[d]) for d in samples)
    note = f"Expr.not_ applied {depth:,} and {2 * depth:,} times to a growing chain; best of {rounds}"
    return [Row(f"build not_ chain, depth {2 * depth:,}", "ns/chain", f"depth {depth:,}", double, single,
                f"{note}. {skipped}" if skipped else note)]


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


def history_child(index: int, recycle: int, settings: Settings) -> None:
    """Times program `index` on trees built in this fresh process, after
    building, running and dropping `recycle` statements first (0: none)."""
    n = settings.statements
    if recycle:
        builders = [program.build_zarn for program in programs(n)]
        machine = Velk()
        machine.run([Statement.let(k, Expr.literal(v)) for k, v in INITIAL.items()])
        dropped = [builders[i % len(builders)]() for i in range(recycle)]
        machine.run(dropped)
        del dropped, machine
        gc.collect()
    program = programs(n)[index]
    (timing,) = measure([(checked_runner("zarn", run_zarn, program, n), n)], settings)
    print(json.dumps(timing.as_json()))


def bench_history(settings: Settings, quick: bool) -> list[Row]:
    recycle = settings.history_statements
    rows = []
    for index, program in enumerate(programs(settings.statements)):
        found: dict[int, list[float]] = {0: [], recycle: []}
        for _ in range(2):  # the two kinds of process in turn
            for count in found:
                command = [sys.executable, __file__, "--history-child", str(index), str(count)]
                out = subprocess.run(command + (["--quick"] if quick else []),
                                     check=True, capture_output=True, text=True).stdout
                found[count] += json.loads(out)["samples"]
        fresh, recycled = (Timing(statistics.median(found[c]), min(found[c]), found[c]) for c in found)
        rows.append(Row(f"history: {program.name}", "ns/statement", "trees built on fresh memory",
                        recycled, fresh,
                        f"trees built after {recycle:,} statements were built, run and dropped; "
                        "each side in two fresh processes"))
    return rows


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

    checks = []

    def check(row: Row | None, what: str, goal: str, met: Callable[[float], bool]) -> None:
        if row:
            ratio = row.zarn_over_peer()
            checks.append({"what": what, "goal": goal, "zarn_over_peer": ratio, "met": met(ratio)})

    for program in programs(1):
        check(find(repeated_group(program), EXEC), f"{repeated_group(program)} vs {EXEC}",
              "zarn/peer <= 0.5", lambda r: r <= 0.5)
        check(find(program.name, EXEC), f"{program.name}, distinct objects vs {EXEC}",
              "zarn/peer <= 1.0", lambda r: r <= 1.0)
        check(find(program.name, "Lua (load + run)"), f"{program.name} vs Lua (load + run)",
              "zarn/peer < 1 (faster)", lambda r: r < 1.0)
        check(find(program.name, "asteval (preparsed)"), f"{program.name} vs asteval (preparsed)",
              "peer/zarn >= 50", lambda r: r <= 1 / 50)
    check(find("shipping-fee request", "CPython exec into a fresh dict"),
          "shipping-fee request vs CPython exec into a fresh dict", "zarn/peer <= 1.5",
          lambda r: r <= 1.5)
    check(find(REQUEST_BIND, "CPython exec into a fresh dict"),
          f"{REQUEST_BIND} vs CPython exec into a fresh dict", "zarn/peer <= 1.0",
          lambda r: r <= 1.0)
    check(find("shipping-fee request, Program.evaluate", EVALUATE_PEER),
          f"Program.evaluate vs {EVALUATE_PEER}", "zarn/peer <= 0.75", lambda r: r <= 0.75)
    check(find("shipping-fee rows, Program.evaluate_many", EVALUATE_PEER),
          f"Program.evaluate_many per row vs {EVALUATE_PEER}", "zarn/peer <= 0.5", lambda r: r <= 0.5)
    check(find("compile: shipping-fee rules text", COMPILE_PEER),
          f"compile: shipping-fee rules text vs {COMPILE_PEER}", "zarn/peer <= 3x", lambda r: r <= 3.0)
    for call in BUILDER_CALLS:
        check(find(f"call: {call}", BASE_CALL), f"{call} vs {BASE_CALL}", "zarn/peer <= 3",
              lambda r: r <= 3.0)
    check(find("get (one str identifier)", "dict[k]"), "get vs dict[k]", "zarn/peer <= 2",
          lambda r: r <= 2.0)
    for row in rows:
        if row.group.startswith("build not_ chain") and row.other:
            check(row, f"{row.group} vs {row.peer}", "zarn/peer <= 2.5 (linear)", lambda r: r <= 2.5)
        if row.group.startswith("history: ") and row.other:
            check(row, f"{row.group}, recycled vs fresh", "within 20%", lambda r: abs(r - 1) <= 0.2)
    memory = next((r for r in rows if r.unit == "bytes/variable" and r.other), None)
    check(memory, "memory per variable vs dict", "zarn/peer <= 1", lambda r: r <= 1)
    return checks


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="smoke run: fewer statements, samples and variables")
    parser.add_argument("--json", metavar="PATH", help="also write the results to PATH")
    parser.add_argument("--depth", type=int, metavar="D",
                        help="depth d of the build-depth measurement (default: 100,000; 2,000 quick)")
    parser.add_argument("--depth-budget", type=float, metavar="SECONDS",
                        help="time the depth builds may take; a smaller d is used when they would "
                             "take longer (default: 30; 5 quick)")
    parser.add_argument("--memory-child", nargs=2, metavar=("KIND", "COUNT"),
                        help=argparse.SUPPRESS)
    parser.add_argument("--history-child", nargs=2, metavar=("PROGRAM", "RECYCLE"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    settings = QUICK if args.quick else FULL
    if args.depth is not None:
        settings = replace(settings, depth=args.depth)
    if args.depth_budget is not None:
        settings = replace(settings, depth_budget_s=args.depth_budget)
    if args.memory_child:
        memory_child(args.memory_child[0], int(args.memory_child[1]))
        return
    if args.history_child:
        history_child(int(args.history_child[0]), int(args.history_child[1]), settings)
        return

    load_before = os.getloadavg()
    started = time.perf_counter()
    rows = bench_programs(settings) + bench_request(settings) + bench_evaluate(settings)
    rows += bench_compile(settings)
    rows += bench_building(settings)
    rows += bench_calls(settings) + bench_depth(settings) + bench_store(settings)
    rows += bench_history(settings, args.quick) + bench_memory(settings)
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
    # Rows that share a note get it once, under the first row's name.
    notes: dict[str, list[str]] = {}
    for row in rows:
        if row.note and row.other:
            notes.setdefault(row.note, []).append(row.group)
    if notes:
        print()
        for note, groups in notes.items():
            others = len(groups) - 1
            more = f" (and {others} more row{'s' if others > 1 else ''})" if others else ""
            print(f"- {groups[0]}{more}: {note}")
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
