"""Trees back to text: compile(to_source(tree)) is the same tree, and its
text is the same text."""

import math

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from zarn import Expr, Statement
from zarn_runtime import dumps
from zarn_text import compile_expr, compile_statements, to_source

import reference_model as model
from support import build_expr, build_stmt
from test_differential import literals

NAMES = ["x", "y", "é", "match", "_"]
OPERATORS = [lambda a, b, op=op: model.binop(a, op, b) for op in model.OPERATORS] + [
    model.eq, model.gt, model.lt, lambda a, b: model.not_(a), lambda a, b: model.not_(model.eq(a, b))]

leaves = st.one_of(literals.filter(lambda v: not (isinstance(v, float) and math.isnan(v))).map(model.lit),
                   st.sampled_from(NAMES).map(model.ident))
exprs = st.recursive(leaves, lambda children: st.builds(lambda f, a, b: f(a, b), st.sampled_from(OPERATORS),
                                                        children, children), max_leaves=12)
statements = st.recursive(
    st.builds(model.let, st.sampled_from(NAMES), exprs),
    lambda children: st.builds(model.if_, exprs, st.lists(children, max_size=3), st.lists(children, max_size=3)),
    max_leaves=8)


@settings(max_examples=300, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(statements, min_size=1, max_size=4), exprs)
def test_text_compiles_back_to_the_same_tree(program, expr):
    built = [build_stmt(s) for s in program]
    text = to_source(built)
    again = compile_statements(text)
    assert [dumps(s) for s in again] == [dumps(s) for s in built], text
    assert to_source(again) == text
    e = build_expr(expr)
    assert dumps(compile_expr(to_source(e))) == dumps(e)


def test_a_shared_subtree_is_written_where_it_is_used():
    a = Expr.binary_op(Expr.ident("x"), "-", Expr.literal(1))
    shared = Expr.binary_op(a, "*", a)
    assert to_source(Statement.let("y", shared)) == "y = (x - 1) * (x - 1)\n"
    e = Expr.ident("x")
    for _ in range(64):
        e = Expr.binary_op(e, "+", e)
    with pytest.raises(ValueError, match="expands to more than"):
        to_source(e)


def test_depth_costs_linear_time_and_stops_where_the_parser_does():
    e = Expr.literal(1)
    for _ in range(100_000):
        e = Expr.not_(e)
    assert to_source(e) == "not " * 100_000 + "1"  # quadratic copying would take minutes
    nested = [Statement.let("x", Expr.literal(1))]
    for _ in range(99):
        nested = [Statement.if_(Expr.ident("c"), nested, [])]
    assert compile_statements(to_source(nested))  # 99 levels: the parser's most
    with pytest.raises(ValueError, match="nested more than 99 levels"):
        to_source([Statement.if_(Expr.ident("c"), nested, [])])


@pytest.mark.parametrize("tree, message", [
    (Expr.ident(3), "the number identifier 3 has no text form"),
    (Statement.let(0, Expr.literal(1)), "the number identifier 0 has no text form"),
    (Expr.literal(math.nan), "a NaN literal has no text form"),
    (Expr.ident("a b"), "the variable name 'a b' has no text form (not a Python identifier)"),
    (Expr.ident("None"), "the variable name 'None' has no text form (not a Python identifier)"),
    (Expr.ident("ﬁ"), "the variable name 'ﬁ' has no text form (not a Python identifier)"),  # NFKC would change it
])
def test_what_has_no_text_form(tree, message):
    with pytest.raises(ValueError) as info:
        to_source(tree)
    assert str(info.value) == message
    with pytest.raises(TypeError):
        to_source("x = 1")  # type: ignore[arg-type]
