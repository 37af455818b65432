"""How deep a tree each operation handles from Python, on a 256 KiB thread stack.

Not a test: a measurement. Runs the cases of test_depth.py (build with the
builders, run, print a machine holding the value, drop) at growing depths,
each in a child process, and reports per case and depth the outcome, the time
to build and the time to run, print and drop.

Building from Python is linear in depth: every builder shares its operands
rather than copying them. Before each depth the build time is extrapolated
from the previous one (linearly, doubled for safety); a depth whose estimate
exceeds the budget is reported as not attempted.

    python tests/depth_limits.py [--depths 10000 100000 1000000]
                                 [--cases not if_] [--budget SECONDS]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_depth import CASES, finish_case, start_case  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--depths", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--cases", nargs="+", default=list(CASES), choices=list(CASES))
    parser.add_argument("--budget", type=float, default=1800.0, help="seconds allowed for one build")
    args = parser.parse_args()

    for case in args.cases:
        previous = None  # (depth, build seconds)
        for depth in sorted(args.depths):
            if previous is not None:
                estimate = 2 * previous[1] * (depth / previous[0])
                if estimate > args.budget:
                    print(f"{case:16} {depth:>9}: not attempted, build estimated at {estimate:,.0f} s "
                          f"(> budget {args.budget:,.0f} s)", flush=True)
                    continue
            start = time.perf_counter()
            try:
                outcome = finish_case(start_case(case, depth), timeout=args.budget * 2)
            except subprocess.TimeoutExpired:
                print(f"{case:16} {depth:>9}: timed out after {time.perf_counter() - start:,.0f} s", flush=True)
                break
            except AssertionError as failure:  # the child died
                print(f"{case:16} {depth:>9}: CHILD FAILED: {failure}", flush=True)
                return 1
            if outcome[0] != "ok":
                print(f"{case:16} {depth:>9}: raised {outcome[1]}: {outcome[2]}", flush=True)
                break
            _, value, _, build, rest = outcome
            expected = CASES[case][1](depth)
            verdict = "ok" if value == expected else f"WRONG VALUE {value!r:.60}"
            print(f"{case:16} {depth:>9}: {verdict}; build {build:,.1f} s, run+print+drop {rest:,.2f} s",
                  flush=True)
            if value != expected:
                return 1
            previous = (depth, build)
    return 0


if __name__ == "__main__":
    sys.exit(main())
