"""Decide the shipping fee of a few orders with a small zarn program.

The rules are built once as a syntax tree and run on a fresh machine per
order, after the order's inputs have been bound as variables:

    base      = 5 for a domestic order, 15 otherwise
    surcharge = 0.5 per kg above 10 kg
    fee       = base + surcharge, but free for members spending over 50
    note      = "<zone> shipping"
"""

from zarn import Expr, Statement, Velk

lit = Expr.literal
var = Expr.ident


def add(a: Expr, b: Expr) -> Expr:
    return Expr.binary_op(a, "+", b)


def sub(a: Expr, b: Expr) -> Expr:
    return Expr.binary_op(a, "-", b)


def mul(a: Expr, b: Expr) -> Expr:
    return Expr.binary_op(a, "*", b)


FREE_SHIPPING_THRESHOLD = 50
HEAVY_FROM_KG = 10

RULES = [
    Statement.if_(
        Expr.equals(var("zone"), lit("domestic")),
        [Statement.let("base", lit(5))],
        [Statement.let("base", lit(15))],
    ),
    Statement.if_(
        Expr.greater_than(var("weight_kg"), lit(HEAVY_FROM_KG)),
        [Statement.let("surcharge", mul(sub(var("weight_kg"), lit(HEAVY_FROM_KG)), lit(0.5)))],
        [Statement.let("surcharge", lit(0))],
    ),
    Statement.let("fee", add(var("base"), var("surcharge"))),
    # No `and` in the language: nest the two conditions.
    Statement.if_(
        var("member"),
        [
            Statement.if_(
                Expr.greater_than(var("total"), lit(FREE_SHIPPING_THRESHOLD)),
                [Statement.let("fee", lit(0))],
                [],
            )
        ],
        [],
    ),
    Statement.let("note", add(var("zone"), lit(" shipping"))),
]


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
