"""Decide the shipping fee of a few orders with a small zarn program.

The rules are kept as text, compiled once into statements by zarn_text, and
run on a fresh machine per order, after the order's inputs have been bound
as variables. The text is read, never evaluated as Python: `/` would divide
Ints exactly as zarn does, `and` becomes nested ifs, and anything outside the
language (a call, a loop) is refused with a SyntaxError that points at it.
"""

from zarn import Expr, Statement, Velk
from zarn_text import compile_statements

lit = Expr.literal

RULES_TEXT = """\
if zone == "domestic":
    base = 5
else:
    base = 15

# 0.5 per kg above 10 kg
if weight_kg > 10:
    surcharge = (weight_kg - 10) * 0.5
else:
    surcharge = 0

# free for members spending over 50 (the same tree as two nested ifs)
fee = base + surcharge
if member and total > 50:
    fee = 0

note = zone + " shipping"
"""

RULES = compile_statements(RULES_TEXT, "shipping_rules")


def shipping_fee(zone: str, weight_kg: float, member: bool, total: float) -> Velk:
    machine = Velk()
    machine.run(
        [
            Statement.let("zone", lit(zone)),
            Statement.let("weight_kg", lit(weight_kg)),
            Statement.let("member", lit(member)),
            Statement.let("total", lit(total)),
        ]
    )
    machine.run(RULES)
    return machine


ORDERS = [
    ("domestic", 2, False, 30),
    ("domestic", 14.5, False, 80),
    ("international", 12, True, 120),
    ("international", 3, True, 20),
]


def main() -> None:
    for zone, weight, member, total in ORDERS:
        machine = shipping_fee(zone, weight, member, total)
        print(
            f"{zone:>13} {weight:>5} kg member={member!s:<5} total={total:>4}: "
            f"fee {machine.get('fee')} ({machine.get('note')})"
        )
    print()
    print("last machine:", machine)


if __name__ == "__main__":
    main()
