"""A fixed workload for profilers: ROUNDS rounds of the shipping-fee
request of examples/shipping_fee.py (its four orders in turn), served one
way:

- evaluate: one Program.evaluate call per order;
- evaluate_many: one Program.evaluate_many call per round over ROWS rows;
- five_step: Velk(), zarn_runtime.bind, run, two get per order;
- exec: exec of the rules compiled once into a fresh dict with the inputs,
  every output read into a dict (what evaluate returns);
- exec_rows: the same over ROWS rows, each copied into its scope;
- exec_two: exec as above, the two outputs fee and note read by name.

    valgrind --tool=callgrind python bench/profile_request.py MODE ROUNDS [ROWS]
    perf record -g python bench/profile_request.py evaluate 20000
"""
import gc
import importlib.util
import pathlib
import sys
import time

import zarn_runtime
from zarn import Velk
from zarn_text import compile_program, compile_statements

INPUTS = ("zone", "weight_kg", "member", "total")


def load_example():
    path = pathlib.Path(__file__).resolve().parent.parent / "examples" / "shipping_fee.py"
    spec = importlib.util.spec_from_file_location("shipping_fee", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main() -> None:
    mode = sys.argv[1]
    rounds = int(sys.argv[2])
    row_count = int(sys.argv[3]) if len(sys.argv) > 3 else 10_000
    example = load_example()
    orders = list(example.ORDERS)
    program = compile_program(example.RULES_TEXT, "shipping_rules")
    rules = compile_statements(example.RULES_TEXT, "shipping_rules")
    code = compile(example.RULES_TEXT, "<shipping_fee>", "exec")
    outputs = sorted(program.outputs)
    read_outputs = eval("lambda scope: {" + ", ".join(f"{n!r}: scope[{n!r}]" for n in outputs) + "}")
    rows = [dict(zip(INPUTS, orders[i % len(orders)])) for i in range(row_count)]
    bind = zarn_runtime.bind

    def evaluate():
        for order in orders:
            program.evaluate(dict(zip(INPUTS, order)))

    def evaluate_many():
        program.evaluate_many(rows)

    def five_step():
        for order in orders:
            machine = Velk()
            bind(machine, dict(zip(INPUTS, order)))
            machine.run(rules)
            machine.get("fee"), machine.get("note")

    def exec_read():
        for order in orders:
            scope = dict(zip(INPUTS, order))
            exec(code, scope)
            read_outputs(scope)

    def exec_rows():
        for row in rows:
            scope = dict(row)
            exec(code, scope)
            read_outputs(scope)

    def exec_two():
        for order in orders:
            scope = dict(zip(INPUTS, order))
            exec(code, scope)
            scope["fee"], scope["note"]

    serve = {"evaluate": evaluate, "evaluate_many": evaluate_many, "five_step": five_step,
             "exec": exec_read, "exec_rows": exec_rows, "exec_two": exec_two}[mode]
    per_round = row_count if mode in ("evaluate_many", "exec_rows") else len(orders)
    serve()
    gc.disable()  # as python_bench.py times
    start = time.perf_counter()
    for _ in range(rounds):
        serve()
    elapsed = time.perf_counter() - start
    print(f"{elapsed / (rounds * per_round) * 1e9:.1f} ns per request")


if __name__ == "__main__":
    main()
