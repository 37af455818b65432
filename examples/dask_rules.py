"""Apply the shipping-fee rules of shipping_fee.py to 100,000 orders on a
local Dask cluster of two worker processes, then check the results against
the same orders run in this process.

The rules travel to the workers as a zarn_text.Program, which pickles as its
text and is compiled again where it lands; machines never travel: each
partition evaluates the program on all its orders in one call,
Program.evaluate_many, a fresh state per order (docs/scaling-out.rst says
what pickles). One order in a thousand has no weight, so its run fails:
with errors="return" its PanicException stands in its place and becomes a
result.

    python examples/dask_rules.py [COUNT]

Prints counts, a checksum and both timings; exits 1 when the results differ.
Needs dask[distributed] (pip install "dask[distributed]").
"""

from __future__ import annotations

import hashlib
import json
import random
import sys
import time
from collections.abc import Iterable

import dask.bag
from dask.distributed import Client, LocalCluster
from zarn_text import Program, compile_program

from shipping_fee import RULES_TEXT

Order = tuple[str, "float | None", bool, float]  # zone, weight_kg, member, total
# The fee and the note, or None and the failure's message.
Result = tuple["int | float | None", str]

PARTITIONS = 8


def make_orders(count: int, seed: int = 7) -> list[Order]:
    """`count` orders drawn from a seeded generator; every 1000th has no weight."""
    draw = random.Random(seed)
    return [(draw.choice(["domestic", "international"]),
             None if i % 1000 == 999 else round(draw.uniform(0.1, 30), 1),
             draw.random() < 0.3,
             draw.randint(5, 200))
            for i in range(count)]


def apply_rules(orders: Iterable[Order], program: Program) -> list[Result]:
    """Evaluates `program` on each order, all of them in one call (a fresh
    state per order); what a Dask task runs."""
    # Imported here, not at the top: Dask pickles this function by value (it
    # lives in __main__), and zarn's classes can only travel by name.
    from zarn_runtime import set_fault_report

    set_fault_report(False)  # failures become results: no report on stderr
    rows = [{"zone": zone, "weight_kg": weight_kg, "member": member, "total": total}
            for zone, weight_kg, member, total in orders]
    results: list[Result] = []
    for outputs in program.evaluate_many(rows, errors="return"):
        if not isinstance(outputs, dict):  # the order's PanicException
            results.append((None, str(outputs)))
            continue
        fee = outputs["fee"]
        assert isinstance(fee, (int, float))
        results.append((fee, str(outputs["note"])))
    return results


def apply_to_partition(orders: Iterable[Order], program: Program) -> list[list[Result]]:
    """The results of one partition as a single item: Dask sends a list of
    lists in one piece, but the items of a list one by one (five times
    slower here)."""
    return [apply_rules(orders, program)]


def checksum(results: list[Result]) -> str:
    """A digest of `results` that tells an Int fee from an equal Float."""
    return hashlib.sha256(json.dumps(results).encode()).hexdigest()[:16]


def main(argv: list[str]) -> int:
    count = int(argv[0]) if argv else 100_000
    program = compile_program(RULES_TEXT, "shipping_rules")
    orders = make_orders(count)

    # dask and distributed leave these three untyped.
    start = time.perf_counter()
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,  # type: ignore[no-untyped-call]
                           dashboard_address=None)
    with cluster, Client(cluster):  # type: ignore[no-untyped-call]
        cluster_seconds = time.perf_counter() - start
        started = time.perf_counter()
        bag = dask.bag.from_sequence(orders, npartitions=PARTITIONS)  # type: ignore[no-untyped-call]
        parts: list[list[Result]] = bag.map_partitions(apply_to_partition, program).compute()
        spread = [result for part in parts for result in part]
        spread_seconds = time.perf_counter() - started

    started = time.perf_counter()
    alone = apply_rules(orders, program)
    alone_seconds = time.perf_counter() - started

    failed = sum(fee is None for fee, _ in alone)
    print(f"{count} orders in {PARTITIONS} partitions on 2 worker processes: "
          f"{spread_seconds:.2f} s (cluster start {cluster_seconds:.2f} s)")
    print(f"one process: {alone_seconds:.2f} s")
    print(f"{count - failed} fees, {failed} failed runs, "
          f"fees summed {sum(fee or 0 for fee, _ in alone):.2f}, checksum {checksum(alone)}")
    if checksum(spread) != checksum(alone):
        print(f"the cluster's results differ from this process's: {len(spread)} results, "
              f"checksum {checksum(spread)}", file=sys.stderr)
        return 1
    print("the cluster's results equal this process's")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
