#!/usr/bin/env python3
"""Times zarn_text.to_source: trees refused by its bounds, and text written.

A refusal comes from the measures of the shared tree, before any text is
written, so it takes time in the distinct nodes only: a 65-object tree of
2**64 nodes, a list of 1,000 statements of 2**23 nodes each, 5,000 `not`s,
a 1 MB text literal used 128 times. Writing takes time linear in the text:
the time per expanded node from 10**4 to 10**6 nodes. Each figure is the
fastest of a few runs with the garbage collector off (other jobs on a shared
host only add time; the collector adds time that grows with the objects
alive, whatever the code). Usage:

    python bench/to_source_bench.py
"""

from __future__ import annotations

import gc
import time
from typing import Callable

from zarn import Expr, Statement
from zarn_text import to_source


def doubled(e: Expr, times: int) -> Expr:
    for _ in range(times):
        e = Expr.binary_op(e, "+", e)
    return e


def nots(depth: int) -> Expr:
    e = Expr.ident("x")
    for _ in range(depth):
        e = Expr.not_(e)
    return e


def fastest(call: Callable[[], object], runs: int = 5) -> float:
    best = float("inf")
    gc.disable()
    try:
        for _ in range(runs):
            start = time.perf_counter()
            call()
            best = min(best, time.perf_counter() - start)
    finally:
        gc.enable()
    return best


def refused(tree: object) -> Callable[[], None]:
    def call() -> None:
        try:
            to_source(tree)  # type: ignore[arg-type]
        except ValueError:
            return
        raise AssertionError("not refused")
    return call


def main() -> None:
    print("refused before writing          seconds")
    for label, tree in [
        ("65 objects, 2**64 nodes", doubled(Expr.ident("x"), 64)),
        ("1,000 statements of 2**23 nodes", [Statement.let("y", doubled(Expr.ident("x"), 23))] * 1000),
        ("5,000 nots", nots(5000)),
        ("1 MB text used 128 times", doubled(Expr.literal("t" * 1_000_000), 7)),
    ]:
        print(f"{label:<32}{fastest(refused(tree)):.6f}")
    print("\nwritten: a sum of distinct leaves   seconds   ns per node")
    for nodes in (10**4, 10**5, 10**6):
        # a balanced sum, so the text needs no parentheses deeper than its depth
        level = [Expr.ident(f"x{i}") for i in range(nodes // 2 + 1)]
        while len(level) > 1:
            level = [Expr.binary_op(a, "+", b) for a, b in zip(level[::2], level[1::2])] + level[len(level) // 2 * 2:]
        seconds = fastest(lambda: to_source(level[0]), runs=3)
        print(f"{nodes:>10,} nodes{'':<20}{seconds:.4f}   {seconds / nodes * 1e9:.0f}")


if __name__ == "__main__":
    main()
