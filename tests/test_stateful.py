"""The builders, run, get and repr called in random order with random
arguments, right and wrong, checked step by step against the reference model.

Every call either succeeds and agrees with the model, or raises the exception
type the model predicts and leaves every machine exactly as it was (a run
that fails in the language keeps the bindings that completed before the
failure, like the model). The oracle is tests/hostile_arguments.py.
"""

from __future__ import annotations

import pytest
import zarn
from hypothesis import HealthCheck, event, settings
from hypothesis import strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, initialize, multiple, rule

import reference_model as model
from hostile_arguments import Checker, Index, Machine, Real, Seq, Text, Tree

Expr, Statement, Velk = zarn.Expr, zarn.Statement, zarn.Velk

# --------------------------------------------------------------------------
# Strategies

huge_ints = st.sampled_from([2**63, -(2**63), 2**63 - 1, -(2**63) - 1, 2**64, 2**32, 2**32 - 1, 10**30,
                             10**400, -(10**400)])
lone_surrogates = st.sampled_from(["\udc80", "a\ud800", Text("\udfff")])
junk = st.sampled_from([[1], b"x", object(), {1: 2}, {1}, 1j, Ellipsis, None, 0, Expr, Statement.let])

# Arguments that convert (huge ints included: most become floats, 10**400
# fails), and arguments that never do.
literal_values = st.one_of(
    st.none(), st.booleans(), st.integers(-5, 5), st.floats(), st.text(max_size=4), huge_ints,
    st.builds(Text, st.text(max_size=3)), st.builds(Index, st.integers(-5, 5) | huge_ints),
    st.builds(Real, st.floats()),
)
bad_literal_values = st.one_of(lone_surrogates, junk.filter(lambda j: j is not None and j != 0))
names = st.one_of(st.sampled_from(["x", "y", "é", "", 0, 1, 3, True, 2**32 - 1]),
                  st.builds(Index, st.sampled_from([0, 3])), st.builds(Text, st.sampled_from(["x", "z"])))
bad_names = st.one_of(st.sampled_from([-1, 2**32, 10**30, 3.0]), lone_surrogates,
                      st.builds(Index, st.sampled_from([-1, 2**32])), junk.filter(lambda j: j != 0))
bad_operators = st.one_of(st.sampled_from(["%", "", "++", " +", "é", 43, None]), lone_surrogates)
failing_iterations = st.sampled_from([ValueError("iteration"), TypeError("iteration"), KeyError("k")])
not_sequences = st.sampled_from(["", "x", 5, b"a", None, set(), {"k": 1}, (s for s in ())])


def shaped(items, shape):
    """The same items as a list, a tuple or a sequence that claims a length."""
    if shape == "list":
        return list(items)
    if shape == "tuple":
        return tuple(items)
    return Seq(list(items), shape, None, None)


shapes = st.sampled_from(["list", "tuple", 0, 2, 10**9, 2**62])


class ModuleUnderHostileUse(RuleBasedStateMachine):
    exprs = Bundle("exprs")
    stmts = Bundle("stmts")
    machines = Bundle("machines")

    # ---- seeds: every example starts with a machine, expressions and a
    # statement ---------------------------------------------------------------

    @initialize(target=machines)
    def first_machine(self):
        return Machine()

    @initialize(target=exprs, value=st.one_of(st.integers(-3, 3), st.text(max_size=2), st.booleans()))
    def seed_literal(self, value):
        return Tree(Expr.literal(value), ("lit", value), 1)

    @initialize(target=exprs, name=st.sampled_from(["x", "y", 0]))
    def seed_ident(self, name):
        return Tree(Expr.ident(name), ("ident", model.identifier(name)), 1)

    @initialize(target=stmts, name=st.sampled_from(["x", "y", 0]), value=st.integers(-3, 3))
    def seed_let(self, name, value):
        return Tree(Statement.let(name, Expr.literal(value)), ("let", model.identifier(name), ("lit", value)), 2)

    # ---- builders ---------------------------------------------------------

    def __init__(self):
        super().__init__()
        self.check = Checker(note=event)

    @staticmethod
    def made(tree):
        return multiple() if tree is None else tree

    # Builders with arguments that convert...

    @rule(target=exprs, value=literal_values, by_keyword=st.booleans())
    def good_literal(self, value, by_keyword):
        return self.made(self.check.literal(value, by_keyword))

    @rule(target=exprs, name=names)
    def good_ident(self, name):
        return self.made(self.check.ident(name))

    @rule(target=exprs, a=exprs, o=st.sampled_from("+-*/"), b=exprs)
    def good_binary_op(self, a, o, b):
        return self.made(self.check.binary_op(a, o, b))

    @rule(target=exprs, kind=st.sampled_from(["eq", "gt", "lt"]), a=exprs, b=exprs)
    def good_pair(self, kind, a, b):
        return self.made(self.check.pair(kind, a, b))

    @rule(target=exprs, item=exprs)
    def good_not(self, item):
        return self.made(self.check.not_(item))

    @rule(target=stmts, name=names, pxpr=exprs)
    def good_let(self, name, pxpr):
        return self.made(self.check.let(name, pxpr))

    @rule(target=stmts, cond=exprs, then=st.lists(stmts, max_size=3), then_shape=shapes,
          otherwise=st.lists(stmts, max_size=3), otherwise_shape=shapes)
    def good_if(self, cond, then, then_shape, otherwise, otherwise_shape):
        return self.made(self.check.if_(cond, shaped(then, then_shape), shaped(otherwise, otherwise_shape)))

    # ... and the same builders with one argument that does not.

    @rule(value=bad_literal_values)
    def bad_literal(self, value):
        self.check.literal(value)

    @rule(name=bad_names)
    def bad_ident(self, name):
        self.check.ident(name)

    @rule(position=st.integers(0, 2), wrong=st.one_of(junk, stmts, bad_operators), a=exprs, b=exprs)
    def bad_binary_op(self, position, wrong, a, b):
        args = [a, "+", b]
        args[position] = wrong
        self.check.binary_op(*args)

    @rule(kind=st.sampled_from(["eq", "gt", "lt", "not"]), first=st.booleans(),
          wrong=st.one_of(junk, stmts), other=exprs)
    def bad_expr_argument(self, kind, first, wrong, other):
        if kind == "not":
            self.check.not_(wrong)
        else:
            self.check.pair(kind, *((wrong, other) if first else (other, wrong)))

    @rule(name=st.one_of(bad_names, names), pxpr=st.one_of(junk, stmts))
    def bad_let(self, name, pxpr):
        self.check.let(name, pxpr)

    @rule(data=st.data(), cond=exprs, good=st.lists(stmts, max_size=2))
    def bad_if(self, data, cond, good):
        wrong = data.draw(self.bad_statement_lists(), label="wrong list")
        if data.draw(st.booleans(), label="wrong then"):
            self.check.if_(cond, wrong, good)
        else:
            self.check.if_(cond, good, wrong)

    def bad_statement_lists(self):
        items = st.lists(self.stmts, max_size=2)
        with_intruder = st.tuples(items, st.one_of(self.exprs, junk), st.integers(0, 2)).map(
            lambda t: t[0][: t[2]] + [t[1]] + t[0][t[2]:])
        failing = st.builds(Seq, st.one_of(items, with_intruder), st.sampled_from([0, 2, 2**62]),
                            st.integers(0, 2), failing_iterations)
        return st.one_of(with_intruder, with_intruder.map(tuple), failing, not_sequences)

    # ---- machines ---------------------------------------------------------

    @rule(target=machines)
    def new_machine(self):
        m = Machine()
        assert repr(m.velk) == "Machine { vars: {} }"
        return m

    @rule(m=machines, items=st.lists(stmts, max_size=4), shape=shapes, by_keyword=st.booleans())
    def good_run(self, m, items, shape, by_keyword):
        self.check.run(m, shaped(items, shape), by_keyword)

    @rule(m=machines, data=st.data())
    def bad_run(self, m, data):
        self.check.run(m, data.draw(self.bad_statement_lists(), label="stmts"))

    @rule(m=machines, name=st.one_of(names, bad_names))
    def get(self, m, name):
        self.check.get(m, name)

    @rule(m=machines, data=st.data())
    def get_bound(self, m, data):
        if m.model is None or not m.model.vars:
            return
        kind, payload = data.draw(st.sampled_from(sorted(m.model.vars, key=repr)), label="bound")
        self.check.get(m, payload)

    @rule(m=machines)
    def printed(self, m):
        self.check.printed(m)

    @rule(self_arg=junk)
    def wrong_self(self, self_arg):
        with pytest.raises(TypeError):
            Velk.run(self_arg, [])
        with pytest.raises(TypeError):
            Velk.get(self_arg, "x")


ModuleUnderHostileUse.TestCase.settings = settings(
    max_examples=200,
    stateful_step_count=50,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
TestModuleUnderHostileUse = ModuleUnderHostileUse.TestCase
