"""Atheris target over the Python surface of zarn.

Each input is decoded into a short sequence of calls: the builders of Expr
and Statement, Velk.run, Velk.get, repr, wrong argument counts and unknown
keywords, with arguments right and wrong (objects from earlier calls, ints of
any size, floats, texts with lone surrogates, str subclasses, objects with
__index__ or __float__, lists, tuples, sequences that lie about their length
or fail while iterated, junk). Every call is checked against the reference
model by tests/hostile_arguments.py: it succeeds with the model's result or
raises exactly the predicted exception (TypeError, ValueError, OverflowError
inside TypeError texts, UnicodeEncodeError, the user's own exception from a
sequence, PanicException with the model's message), and MemoryError is
always allowed. Anything else (another exception, a wrong value, a crash or
a sanitizer report) is a finding.

    python fuzz/python_fuzz.py [libFuzzer options] [corpus dirs]

scripts/fuzz-python.sh runs it against the AddressSanitizer build.
"""

from __future__ import annotations

import os
import sys

import atheris

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

with atheris.instrument_imports(include=["hostile_arguments", "reference_model"]):
    import hostile_arguments as oracle
    import reference_model as model

import zarn

Expr, Statement, Velk = zarn.Expr, zarn.Statement, zarn.Velk

MAX_CALLS = 48     # calls decoded from one input
MAX_MACHINES = 4   # machines alive at once
MAX_ITEMS = 4      # items of one statement list
NAMES = ["x", "y", "é", "", 0, 1, 2**32 - 1]
OPERATORS = "+-*/"
ERRORS = [ValueError, TypeError, KeyError]
JUNK = [[1], b"x", object(), {1: 2}, {1}, 1j, Ellipsis, Expr, Statement.let, Velk, range(3)]
NOT_SEQUENCES = ["", "x", 5, b"a", None, set(), {"k": 1}]


class Decoder:
    """Turns the fuzzer's bytes into arguments, mostly right, sometimes wrong."""

    def __init__(self, data: bytes):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.exprs: list[oracle.Tree] = []
        self.stmts: list[oracle.Tree] = []

    def choice(self, options):
        return options[self.fdp.ConsumeIntInRange(0, len(options) - 1)]

    def small(self, top: int) -> int:
        return self.fdp.ConsumeIntInRange(0, top)

    def text(self) -> str:
        # May hold lone surrogates.
        return self.fdp.ConsumeUnicode(self.small(6))

    def integer(self) -> int:
        if self.fdp.ConsumeBool():
            return self.fdp.ConsumeIntInRange(-5, 5)
        return self.fdp.ConsumeInt(self.fdp.ConsumeIntInRange(1, 72))  # up to 576 bits

    def anything(self):
        kind = self.small(15)
        if kind <= 3 and self.exprs:
            return self.choice(self.exprs)
        if kind == 4 and self.stmts:
            return self.choice(self.stmts)
        if kind == 5:
            return self.integer()
        if kind == 6:
            return self.fdp.ConsumeFloat()
        if kind == 7:
            return self.text()
        if kind == 8:
            return oracle.Text(self.text())
        if kind == 9:
            return self.choice([None, True, False])
        if kind == 10:
            return oracle.Index(self.integer())
        if kind == 11:
            return oracle.Real(self.fdp.ConsumeFloat())
        if kind == 12:
            return self.fdp.ConsumeBytes(self.small(3))
        if kind == 13:
            return self.statement_list()
        return self.choice(JUNK)

    def expr(self):
        """Mostly an Expr object from an earlier call."""
        if self.exprs and self.small(7):
            return self.choice(self.exprs)
        return self.anything()

    def name(self):
        if self.small(3):
            return self.choice(NAMES)
        return self.anything()

    def operator(self):
        if self.small(5):
            return OPERATORS[self.small(3)]
        return self.choice(["%", "", "++", "\udc80"]) if self.fdp.ConsumeBool() else self.anything()

    def statement_list(self):
        items = []
        for _ in range(self.small(MAX_ITEMS)):
            items.append(self.choice(self.stmts) if self.stmts and self.small(5) else self.anything())
        shape = self.small(6)
        if shape <= 1:
            return items
        if shape == 2:
            return tuple(items)
        if shape == 3:
            claimed = self.choice([0, 1, 10**9, 2**62])
            return oracle.Seq(items, claimed, None, None)
        if shape == 4:
            fail_at = self.small(len(items))
            return oracle.Seq(items, len(items), fail_at, self.choice(ERRORS)("iteration"))
        return self.choice(NOT_SEQUENCES)


def wrong_arity(decoder: Decoder):
    """A method called with a wrong number of arguments or an unknown keyword."""
    methods = [(Expr.literal, 1), (Expr.ident, 1), (Expr.binary_op, 3), (Expr.equals, 2), (Expr.not_, 1),
               (Expr.greater_than, 2), (Expr.less_than, 2), (Statement.let, 2), (Statement.if_, 3),
               (Velk().run, 1), (Velk().get, 1), (Velk, 0)]
    method, arity = decoder.choice(methods)
    count = decoder.small(4)
    args = [decoder.anything() for _ in range(count)]
    keyword = {} if decoder.fdp.ConsumeBool() else {"x" + decoder.text(): 1}
    if count == arity and not keyword:
        return
    try:
        method(*[oracle.unwrap(a) for a in args], **keyword)
    except TypeError:
        return
    raise AssertionError(f"{method} with {count} arguments and {keyword} did not fail")


def TestOneInput(data: bytes):
    decoder = Decoder(data)
    check = oracle.Checker()
    machines = [oracle.Machine()]

    def keep(pool, tree):
        if tree is not None:
            pool.append(tree)

    for _ in range(decoder.small(MAX_CALLS)):
        op = decoder.small(11)
        if op == 0:
            keep(decoder.exprs, check.literal(decoder.anything(), decoder.fdp.ConsumeBool()))
        elif op == 1:
            keep(decoder.exprs, check.ident(decoder.name()))
        elif op == 2:
            keep(decoder.exprs, check.binary_op(decoder.expr(), decoder.operator(), decoder.expr()))
        elif op == 3:
            keep(decoder.exprs, check.pair(decoder.choice(["eq", "gt", "lt"]), decoder.expr(), decoder.expr()))
        elif op == 4:
            keep(decoder.exprs, check.not_(decoder.expr()))
        elif op == 5:
            keep(decoder.stmts, check.let(decoder.name(), decoder.expr()))
        elif op == 6:
            keep(decoder.stmts, check.if_(decoder.expr(), decoder.statement_list(), decoder.statement_list()))
        elif op == 7:
            check.run(decoder.choice(machines), decoder.statement_list(), decoder.fdp.ConsumeBool())
        elif op == 8:
            check.get(decoder.choice(machines), decoder.name())
        elif op == 9:
            check.printed(decoder.choice(machines))
        elif op == 10:
            if len(machines) < MAX_MACHINES:
                machines.append(oracle.Machine())
        else:
            wrong_arity(decoder)


def main():
    assert model.INT_MAX == 2**63 - 1  # the model is the one the suite uses
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
