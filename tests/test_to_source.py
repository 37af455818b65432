"""Trees back to text: compile(to_source(tree)) is the same tree, and its
text is the same text."""

import math
import subprocess
import sys

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


def doubled(e, times):
    for _ in range(times):
        e = Expr.binary_op(e, "+", e)
    return e


def test_a_shared_subtree_is_written_where_it_is_used():
    a = Expr.binary_op(Expr.ident("x"), "-", Expr.literal(1))
    shared = Expr.binary_op(a, "*", a)
    assert to_source(Statement.let("y", shared)) == "y = (x - 1) * (x - 1)\n"


@pytest.mark.parametrize("tree, message", [
    (doubled(Expr.ident("x"), 64), "expands to more than 10000000 nodes"),  # 65 objects
    ([Statement.let("y", doubled(Expr.ident("x"), 23))] * 1000, "expands to more than 10000000 nodes"),
    # Each statement alone is within the bound: the whole list counts.
    ([Statement.let(name, doubled(Expr.ident("x"), 22)) for name in "ab"], "expands to more than 10000000 nodes"),
    ([Statement.if_(Expr.ident("c"), [Statement.let("y", doubled(Expr.ident("x"), 21))] * 3, [])] * 2,
     "expands to more than 10000000 nodes"),
    # Few nodes, long text: a 1 MB literal used 128 times.
    (doubled(Expr.literal("t" * 1_000_000), 7), "text would be longer than 100000000 characters"),
])
def test_the_whole_call_has_one_bound_checked_before_writing(tree, message):
    with pytest.raises(ValueError, match=message):
        to_source(tree)


def nested(levels, step, leaf=None):
    e = Expr.ident("x") if leaf is None else leaf
    for _ in range(levels):
        e = step(e)
    return e


right_subtraction = lambda e: Expr.binary_op(Expr.ident("a"), "-", e)  # noqa: E731
left_subtraction = lambda e: Expr.binary_op(e, "-", Expr.ident("a"))  # noqa: E731
right_comparison = lambda e: Expr.less_than(Expr.ident("a"), e)  # noqa: E731


@pytest.mark.parametrize("levels, step, refusal", [
    (101, right_subtraction, None),  # 100 levels of parentheses
    (102, right_subtraction, "nest parentheses more than 100 levels deep"),
    (250, right_subtraction, "nest parentheses more than 100 levels deep"),
    (101, right_comparison, None),  # the parser's most costly parentheses
    (102, right_comparison, "nest parentheses more than 100 levels deep"),
    (999, Expr.not_, None),  # with the leaf, 1,000 levels
    (1000, Expr.not_, "nests more than 1000 levels deep"),
    (5000, Expr.not_, "nests more than 1000 levels deep"),
    (999, left_subtraction, None),
    (100_000, left_subtraction, "nests more than 1000 levels deep"),
])
def test_deep_text_reads_back_or_is_refused_naming_the_limit(levels, step, refusal):
    tree = nested(levels, step)
    if refusal is None:
        text = to_source(tree)
        assert to_source(compile_expr(text)) == text
    else:
        with pytest.raises(ValueError, match=refusal):
            to_source(tree)


def test_every_limit_at_once_still_reads_back():
    # 99 indented ifs, 100 parenthesised comparisons and 1,000 levels in all:
    # together they fill the parser's stack most.
    inner = nested(1000 - 99 - 1 - 100 - 2, Expr.not_, Expr.literal(-1))  # -1 is two levels
    program = nested(99, lambda body: [Statement.if_(Expr.ident("c"), body, [])],
                     [Statement.let("y", nested(100, right_comparison, inner))])  # the nots parenthesised too
    text = to_source(program)
    assert to_source(compile_statements(text)) == text
    with pytest.raises(ValueError, match="nests more than 1000 levels deep"):
        to_source([Statement.if_(Expr.ident("c"), [], program)])  # one elif more
    elifs = nested(998, lambda s: Statement.if_(Expr.ident("c"), [], [s]), Statement.let("y", Expr.literal(1)))
    assert to_source(compile_statements(to_source([elifs]))) == to_source([elifs])  # 998 ifs, a let, its leaf
    with pytest.raises(ValueError, match="each elif included"):
        to_source([Statement.if_(Expr.ident("c"), [], [elifs])])


def test_deep_trees_are_refused_from_their_records_and_indentation_stops_where_the_parser_does():
    nots = nested(100_000, Expr.not_)
    with pytest.raises(ValueError, match="nests more than 1000 levels deep"):
        to_source(nots)  # refused after reading the records: no quadratic walk
    nested_ifs = nested(99, lambda body: [Statement.if_(Expr.ident("c"), body, [])],
                        [Statement.let("x", Expr.literal(1))])
    assert compile_statements(to_source(nested_ifs))  # 99 levels: the parser's most
    with pytest.raises(ValueError, match="nested more than 99 levels"):
        to_source([Statement.if_(Expr.ident("c"), nested_ifs, [])])


def test_the_reader_refuses_a_form_it_was_not_written_for(tmp_path):
    # The codec's version and tags, exported by zarn_runtime, are checked
    # when zarn_text's reader is imported.
    script = ("import zarn_runtime\n"
              "magic, version, tags, operators = zarn_runtime._TREE_FORMAT\n"
              "zarn_runtime._TREE_FORMAT = (magic, version + 1, tags, operators)\n"
              "import zarn_text\n")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode != 0
    assert "ImportError: zarn_text reads tree data of version 1; this zarn writes version 2" in result.stderr


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
