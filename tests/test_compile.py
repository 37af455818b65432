"""zarn_text: rules text compiles to the trees the builders make by hand."""

import ast
import math
import os
import pickle
import re
import subprocess
import sys
import textwrap

import pytest
import zarn
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from zarn import Expr, Statement, Velk
from zarn_runtime import PanicException, dumps, set_limits

import failure_messages as failures
import reference_model as model
import zarn_text
from support import build_stmt
from test_differential import ints, floats, texts

compile_statements = zarn_text.compile_statements
compile_expr = zarn_text.compile_expr


def outcome(call):
    """('ok', result) or (exception type name, text) for any failure."""
    try:
        return ("ok", call())
    except BaseException as exc:  # noqa: BLE001 - PanicException is a BaseException
        return (type(exc).__name__, str(exc))


# --------------------------------------------------------------------------
# Random programs, written out as text and built by hand

NAMES = ["x", "y", "é", "_n1"]
UNBOUND = "z"

# Beyond model trees: the comparisons that text desugars, each with the tree
# it stands for.
DESUGARED = {
    "ne": ("!=", lambda a, b: model.not_(model.eq(a, b))),
    "le": ("<=", lambda a, b: model.not_(model.gt(a, b))),
    "ge": (">=", lambda a, b: model.not_(model.lt(a, b))),
}
INFIX = {"eq": "==", "gt": ">", "lt": "<"}


def float_text(x: float) -> str:
    if math.isinf(x):
        return "1e999" if x > 0 else "-1e999"
    return repr(x)


def expr_text(tree) -> str:
    tag = tree[0]
    if tag == "lit":
        value = tree[1]
        return float_text(value) if type(value) is float else repr(value)
    if tag == "ident":
        return tree[1][1]
    if tag == "bin":
        return f"({expr_text(tree[1])} {tree[2]} {expr_text(tree[3])})"
    if tag == "not":
        return f"(not {expr_text(tree[1])})"
    op = INFIX.get(tag) or DESUGARED[tag][0]
    return f"({expr_text(tree[1])} {op} {expr_text(tree[2])})"


def plain(tree):
    """The model tree, desugared comparisons replaced by what they stand for."""
    tag = tree[0]
    if tag in ("lit", "ident"):
        return tree
    if tag == "bin":
        return ("bin", plain(tree[1]), tree[2], plain(tree[3]))
    if tag == "not":
        return ("not", plain(tree[1]))
    if tag in DESUGARED:
        return DESUGARED[tag][1](plain(tree[1]), plain(tree[2]))
    return (tag, plain(tree[1]), plain(tree[2]))


def plain_stmt(stmt):
    if stmt[0] == "let":
        return ("let", stmt[1], plain(stmt[2]))
    return ("if", plain(stmt[1]), tuple(map(plain_stmt, stmt[2])), tuple(map(plain_stmt, stmt[3])))


def program_text(stmts, elif_choices, indent="") -> str:
    """Source text; an otherwise-list of one `if` is written as `elif` or
    as `else:` + `if`, as the next choice says (both are the same tree)."""
    lines = []
    for stmt in stmts:
        if stmt[0] == "let":
            lines.append(f"{indent}{stmt[1][1]} = {expr_text(stmt[2])}")
            continue
        keyword = "if"
        while True:
            _, cond, then, otherwise = stmt
            lines.append(f"{indent}{keyword} {expr_text(cond)}:")
            lines.append(program_text(then, elif_choices, indent + "    ") or f"{indent}    pass")
            if len(otherwise) == 1 and otherwise[0][0] == "if" and next(elif_choices):
                stmt, keyword = otherwise[0], "elif"
                continue
            if otherwise or next(elif_choices):
                lines.append(f"{indent}else:")
                lines.append(program_text(otherwise, elif_choices, indent + "    ") or f"{indent}    pass")
            break
    return "\n".join(line for line in lines if line)


literals = st.one_of(
    st.none(), st.booleans(), ints, texts,
    floats.filter(lambda x: not math.isnan(x)),  # NaN has no constant: operations make it
    st.sampled_from([2**63, -(2**63) - 1, 2**64 + 3, -(2**63)]),
)
leaves = st.one_of(literals.map(model.lit), st.sampled_from(NAMES + [UNBOUND]).map(model.ident))
COMBINERS = ["bin", "eq", "gt", "lt", "ne", "le", "ge", "not"]


def _extend(children):
    return st.one_of(
        st.builds(lambda a, op, b: model.binop(a, op, b), children, st.sampled_from(model.OPERATORS), children),
        st.builds(lambda tag, a, b: (tag, a, b), st.sampled_from(["eq", "gt", "lt", "ne", "le", "ge"]),
                  children, children),
        st.builds(model.not_, children),
    )


exprs = st.recursive(leaves, _extend, max_leaves=6)
lets = st.builds(model.let, st.sampled_from(NAMES), exprs)


def _extend_statements(children):
    branch = st.lists(children, max_size=3)
    return st.builds(model.if_, exprs, branch, branch)


statements = st.recursive(lets, _extend_statements, max_leaves=8)
prelude = st.tuples(*[st.builds(model.let, st.just(n), literals.map(model.lit)) for n in NAMES]).map(list)


def machine_after(stmts):
    machine = Velk()
    return machine, outcome(lambda: machine.run(stmts))


def assert_same_variables(a: Velk, b: Velk):
    for name in NAMES + [UNBOUND]:
        got, want = outcome(lambda: a.get(name)), outcome(lambda: b.get(name))
        assert got[0] == want[0], (name, got, want)
        if got[0] == "ok":
            assert model.same_value(got[1], want[1]), (name, got, want)
        else:
            assert got == want, name


@settings(max_examples=400, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(prelude, st.lists(statements, min_size=1, max_size=5), st.lists(st.booleans(), min_size=64, max_size=64))
def test_random_programs_as_text_run_like_the_trees_built_by_hand(start, body, choices):
    program = start + body
    text = program_text(program, iter(choices * 100))
    from_text, text_outcome = machine_after(compile_statements(text, "random.py"))
    by_hand, hand_outcome = machine_after([build_stmt(plain_stmt(s)) for s in program])
    assert text_outcome == hand_outcome, text
    assert_same_variables(from_text, by_hand)


# --------------------------------------------------------------------------
# The desugared comparisons mean what their names say under the language's
# order and equality, including where the two disagree.

EDGES = [0, 1, -1, 2**53 + 1, model.INT_MIN, 0.0, -0.0, 1.0, 2.0**53, math.inf, -math.inf, math.nan, -math.nan,
         "a", "", None, True]
DESUGARED_MEANING = {
    "<=": lambda a, b: model.compare(a, b) <= 0,
    ">=": lambda a, b: model.compare(a, b) >= 0,
    "!=": lambda a, b: not model.equals(a, b),
}


@pytest.mark.parametrize("op", sorted(DESUGARED_MEANING))
def test_desugared_comparisons_follow_the_language_order_and_equality(op):
    meaning = DESUGARED_MEANING[op]
    for left in EDGES:
        for right in EDGES:
            machine = Velk()
            machine.run([Statement.let("l", Expr.literal(left)), Statement.let("r", Expr.literal(right))])
            got = outcome(lambda: machine.run(compile_statements(f"result = l {op} r")) or machine.get("result"))
            try:
                want = ("ok", meaning(left, right))
            except model.ModelError as exc:
                want = ("PanicException", exc.message)
            assert got == want, (left, op, right)


def test_where_ordering_and_equality_disagree():
    # Int 1 and Float 1.0; +0.0 and -0.0; a NaN and itself.
    def run(text):
        machine = Velk()
        machine.run(compile_statements("n = 1e999 - 1e999\n" + text))
        return machine.get("r")

    assert run("r = 1 <= 1.0") is True and run("r = 1 != 1.0") is True
    assert run("r = 0.0 <= -0.0") is False and run("r = 0.0 != -0.0") is False
    assert run("r = n <= n") is True and run("r = n != n") is True


def test_operands_are_evaluated_left_to_right_in_desugared_comparisons():
    # Both sides unbound: the left one is reported.
    machine = Velk()
    for op in ("<=", ">=", "!=", "<", ">", "=="):
        assert outcome(lambda: machine.run(compile_statements(f"r = a {op} b")))[1] == 'Value cannot be found: S("a")'


# --------------------------------------------------------------------------
# One hand-written program: the shipping-fee rules as text and as a tree


def _shipping_rules_by_hand():
    lit, var = Expr.literal, Expr.ident

    def op(a, o, b):
        return Expr.binary_op(a, o, b)

    return [
        Statement.if_(Expr.equals(var("zone"), lit("domestic")),
                      [Statement.let("base", lit(5))], [Statement.let("base", lit(15))]),
        Statement.if_(Expr.greater_than(var("weight_kg"), lit(10)),
                      [Statement.let("surcharge", op(op(var("weight_kg"), "-", lit(10)), "*", lit(0.5)))],
                      [Statement.let("surcharge", lit(0))]),
        Statement.let("fee", op(var("base"), "+", var("surcharge"))),
        Statement.if_(var("member"),
                      [Statement.if_(Expr.greater_than(var("total"), lit(50)), [Statement.let("fee", lit(0))], [])],
                      []),
        Statement.let("note", op(var("zone"), "+", lit(" shipping"))),
    ]


def _load_example():
    import importlib.util

    path = os.path.join(os.path.dirname(__file__), "..", "examples", "shipping_fee.py")
    spec = importlib.util.spec_from_file_location("_shipping_fee", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


SHIPPING_VARIABLES = ["zone", "weight_kg", "member", "total", "base", "surcharge", "fee", "note"]


@pytest.mark.parametrize("order", [
    ("domestic", 2, False, 30), ("domestic", 14.5, False, 80), ("international", 12, True, 120),
    ("international", 3, True, 20), ("domestic", 10, True, 50), ("moon", 11, False, 0.0),
    ("domestic", "heavy", False, 1),  # fails: an ordering of a String
    ("domestic", 1, 1, 1),  # fails: a condition that is not a Boolean
])
def test_shipping_rules_text_binds_what_the_hand_built_rules_bind(order):
    example = _load_example()
    inputs = [Statement.let(n, Expr.literal(v)) for n, v in zip(["zone", "weight_kg", "member", "total"], order)]
    results = []
    for rules in (compile_statements(example.RULES_TEXT), _shipping_rules_by_hand()):
        machine = Velk()
        machine.run(inputs)
        results.append((outcome(lambda: machine.run(rules)), [outcome(lambda: machine.get(n)) for n in SHIPPING_VARIABLES]))
    assert results[0] == results[1]
    assert all(type(v) is type(w) for (_, v), (_, w) in zip(results[0][1], results[1][1]))


def test_constants_become_the_literals_the_builders_make():
    values = [None, True, False, 0, 7, -7, 2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 2**64 + 3, 10**300,
              0.0, -0.0, 1.5, -1.5, 5e-324, math.inf, -math.inf, "", "a\0\n\"'é😀"]
    for value in values:
        text = float_text(value) if type(value) is float else repr(value)
        machine = Velk()
        machine.run([Statement.let("a", compile_expr(text)), Statement.let("b", Expr.literal(value))])
        assert model.same_value(machine.get("a"), machine.get("b")), text


def test_arithmetic_keeps_the_language_meaning():
    machine = Velk()
    machine.run(compile_statements(textwrap.dedent("""\
        q = 7 / 2
        n = -7 / 2
        w = 9223372036854775807 + 1
        f = 1 / 0.0
        s = "a" + "b"
        p = 1 + 2 * 3 - 4
        if q == 3:
            branch = 1
        elif q == 4:
            branch = 2
    """)))
    assert [machine.get(n) for n in "q n w f s p branch".split()] == [3, -3, -(2**63), math.inf, "ab", 3, 1]
    for text, message in [('"a" + 1', "Binary operator for unknown type"),
                          ("1 / 0", "attempt to divide by zero"),
                          ("not 0", "The not expression must be used on a boolean value")]:
        assert outcome(lambda: machine.run(compile_statements("r = " + text))) == ("PanicException", message)
    assert outcome(lambda: machine.run(compile_statements("if 1:\n    pass"))) == (
        "PanicException", "Expected deduced condition to be a bool, got other type")


# --------------------------------------------------------------------------
# Refused constructs: message and exact position

REFUSED = [
    # (source, message, (lineno, offset, end_lineno, end_offset))
    ("f(x)", "function calls are", (1, 1, 1, 5)),
    ("x = f(a)", "function calls are", (1, 5, 1, 9)),
    ("x = a.b", "attributes are", (1, 5, 1, 8)),
    ("a.b = 1", "attributes are", (1, 1, 1, 4)),
    ("x = a[0]", "subscripts are", (1, 5, 1, 9)),
    ("a[0] = 1", "subscripts are", (1, 1, 1, 5)),
    ("x = a is b", "the operator 'is' is", (1, 5, 1, 11)),
    ("x = a is not b", "the operator 'is not' is", (1, 5, 1, 15)),
    ("x = a in b", "the operator 'in' is", (1, 5, 1, 11)),
    ("x = a not in b", "the operator 'not in' is", (1, 5, 1, 15)),
    ("if a in (1, b):\n    pass", "the operator 'in' is", (1, 4, 1, 15)),  # a display of constants only
    ("x = a in ()", "the operator 'in' is", (1, 5, 1, 12)),
    ("x = a < b is c", "the operator 'is' is", (1, 5, 1, 15)),
    ("x //= 2", "the operator '//=' is", (1, 1, 1, 8)),
    ("x.y += 2", "attributes are", (1, 1, 1, 4)),
    ("a and b", "expression statements are", (1, 1, 1, 8)),
    ("x = (a and f(b))", "function calls are", (1, 12, 1, 16)),
    ("x = a // b", "the operator '//' is", (1, 5, 1, 11)),
    ("x = a % b", "the operator '%' is", (1, 5, 1, 10)),
    ("x = a ** b", "the operator '**' is", (1, 5, 1, 11)),
    ("x = a @ b", "the operator '@' is", (1, 5, 1, 10)),
    ("x = a << b", "the operator '<<' is", (1, 5, 1, 11)),
    ("x = a >> b", "the operator '>>' is", (1, 5, 1, 11)),
    ("x = a & b", "the operator '&' is", (1, 5, 1, 10)),
    ("x = a | b", "the operator '|' is", (1, 5, 1, 10)),
    ("x = a ^ b", "the operator '^' is", (1, 5, 1, 10)),
    ("x = ~a", "the operator '~' is", (1, 5, 1, 7)),
    ("x = +1", "the operator 'unary +' is", (1, 5, 1, 7)),
    ("x = -a", "unary minus on anything but a number constant is", (1, 5, 1, 7)),
    ("x = --1", "unary minus on anything but a number constant is", (1, 5, 1, 8)),
    ("x = -True", "unary minus on anything but a number constant is", (1, 5, 1, 10)),
    ("x = -'a'", "unary minus on anything but a number constant is", (1, 5, 1, 9)),
    ("for i in y:\n    pass", "for loops are", (1, 1, 2, 9)),
    ("while x:\n    pass", "while loops are", (1, 1, 2, 9)),
    ("x: int = 1", "annotated assignments are", (1, 1, 1, 11)),
    ("x = y = 1", "chained assignments are", (1, 5, 1, 6)),
    ("x, y = 1, 2", "unpacking assignments are", (1, 1, 1, 5)),
    ("[x] = [1]", "unpacking assignments are", (1, 1, 1, 4)),
    ("x = (y := 1)", "assignment expressions (:=) are", (1, 6, 1, 12)),
    ("x = f'{y}'", "f-strings are", (1, 5, 1, 11)),
    ("import os", "imports are", (1, 1, 1, 10)),
    ("from os import path", "imports are", (1, 1, 1, 20)),
    ("x = lambda: 1", "lambda expressions are", (1, 5, 1, 14)),
    ("x = [i for i in y]", "comprehensions are", (1, 5, 1, 19)),
    ("x = {i for i in y}", "comprehensions are", (1, 5, 1, 19)),
    ("x = {i: i for i in y}", "comprehensions are", (1, 5, 1, 22)),
    ("x = (i for i in y)", "generator expressions are", (1, 5, 1, 19)),
    ("x = [1]", "list displays are", (1, 5, 1, 8)),
    ("x = (1, 2)", "tuples are", (1, 5, 1, 11)),
    ("x = {1: 2}", "dict displays are", (1, 5, 1, 11)),
    ("x = {1}", "set displays are", (1, 5, 1, 8)),
    ("x = b'a'", "bytes constants are", (1, 5, 1, 9)),
    ("x = 1j", "complex numbers are", (1, 5, 1, 7)),
    ("x = ...", "the constant ... is", (1, 5, 1, 8)),
    ("x = '\\ud800'", "strings with lone surrogates are", (1, 5, 1, 13)),
    ("x = " + "9" * 400, "integer constants beyond the range of a float are", (1, 5, 1, 405)),
    ("x", "expression statements are", (1, 1, 1, 2)),
    ("'a docstring'", "expression statements are", (1, 1, 1, 14)),
    ("def f():\n    pass", "function definitions are", (1, 1, 2, 9)),
    ("async def f():\n    pass", "function definitions are", (1, 1, 2, 9)),
    ("class C:\n    pass", "class definitions are", (1, 1, 2, 9)),
    ("return 1", "return statements are", (1, 1, 1, 9)),
    ("del x", "del statements are", (1, 1, 1, 6)),
    ("global x", "global declarations are", (1, 1, 1, 9)),
    ("raise x", "raise statements are", (1, 1, 1, 8)),
    ("try:\n    pass\nfinally:\n    pass", "try statements are", (1, 1, 4, 9)),
    ("assert x", "assert statements are", (1, 1, 1, 9)),
    ("with x:\n    pass", "with statements are", (1, 1, 2, 9)),
    ("match x:\n    case 1:\n        pass", "match statements are", (1, 1, 3, 13)),
    ("x = await y", "await expressions are", (1, 5, 1, 12)),
    ("x = yield", "yield expressions are", (1, 5, 1, 10)),
    ("x = *y", "starred expressions are", (1, 5, 1, 7)),
    # Positions inside branches, after other lines, and in characters on a
    # line with non-ASCII text before the construct.
    ("y = 1\nif y == 1:\n    x = 2\nelse:\n    x = g(1)", "function calls are", (5, 9, 5, 13)),
    ("if a:\n    pass\nelif b:\n    for i in c:\n        pass", "for loops are", (4, 5, 5, 13)),
    ("é = 'ü€😀' + f(1)", "function calls are", (1, 13, 1, 17)),
    ("x = (a\n     + b.c)", "attributes are", (2, 8, 2, 11)),
]
if sys.version_info >= (3, 12):
    REFUSED.append(("type T = int", "type aliases are", (1, 1, 1, 13)))


@pytest.mark.parametrize("source, message, position", REFUSED, ids=[r[0] for r in REFUSED])
def test_refused_constructs_name_the_construct_and_its_position(source, message, position):
    with pytest.raises(SyntaxError) as info:
        compile_statements(source, "rules/shipping.py")
    error = info.value
    assert type(error) is SyntaxError
    assert error.msg == message + " not part of the language"
    assert error.filename == "rules/shipping.py"
    assert (error.lineno, error.offset, error.end_lineno, error.end_offset) == position
    assert error.text == source.splitlines()[position[0] - 1]


def test_the_first_refused_construct_is_reported():
    with pytest.raises(SyntaxError) as info:
        compile_statements("x = 1\ny = a.b + f(1)\nimport os")
    assert (info.value.msg, info.value.lineno, info.value.offset) == ("attributes are not part of the language", 2, 5)


def test_expressions_are_refused_alike():
    with pytest.raises(SyntaxError) as info:
        compile_expr("1 + f(2)", "cell")
    assert (info.value.msg, info.value.filename, info.value.offset) == ("function calls are not part of the language", "cell", 5)
    with pytest.raises(SyntaxError):
        compile_expr("x = 1")  # a statement is not an expression
    assert type(compile_expr("x")) is Expr


def test_parser_errors_keep_their_position_and_file_name():
    with pytest.raises(SyntaxError) as info:
        compile_statements("x = 1\ny = (2 +\n", "broken.py")
    assert info.value.filename == "broken.py" and info.value.lineno == 2


def test_only_text_is_accepted():
    with pytest.raises(TypeError):
        compile_statements(b"x = 1")  # type: ignore[arg-type]


# --------------------------------------------------------------------------
# Hostile text


def deepest(make):
    """The largest n for which ast.parse accepts make(n)."""
    low, high = 1, 20_000
    while low < high:
        mid = (low + high + 1) // 2
        try:
            ast.parse(make(mid))
            low = mid
        except (SyntaxError, RecursionError, MemoryError):
            high = mid - 1
    return low


NESTED = {
    "left-nested additions": (lambda n: "x = 1" + " + 1" * n, lambda n: n + 1),
    "nots": (lambda n: "x = " + "not " * n + "True", lambda n: n % 2 == 0),
    "elif chain": (lambda n: "x = 0\nif x == 1:\n    x = 1\n" + "".join(f"elif x == {i}:\n    x = 0\n" for i in range(2, n))
                   + "else:\n    x = -1\n", lambda n: -1),
    "parenthesised right additions": (lambda n: "x = " + "(1 + " * n + "1" + ")" * n, lambda n: n + 1),
}


@pytest.mark.parametrize("shape", sorted(NESTED))
def test_nesting_as_deep_as_the_parser_accepts_compiles(shape):
    make, value = NESTED[shape]
    depth = deepest(make)
    if shape != "parenthesised right additions":
        assert depth > sys.getrecursionlimit()  # beyond a recursive walk in Python
    machine = Velk()
    machine.run(compile_statements(make(depth)))
    assert machine.get("x") == value(depth)


@pytest.mark.parametrize("source", [
    "x = 1" + " + 1" * 200_000,
    "x = " + "-" * 200_000 + "1",
    "x = " + "not " * 200_000 + "True",
    "x = " + "(" * 1000 + "1" + ")" * 1000,
    "if x:\n" + "".join(" " * i + "if x:\n" for i in range(1, 150)) + " " * 150 + "pass\n",
    "x = 1\0",
    "x = " + "1" * 5000,
])
def test_sources_beyond_the_parser_fail_cleanly(source):
    with pytest.raises((SyntaxError, MemoryError)) as info:
        compile_statements(source, "hostile.py")
    if isinstance(info.value, SyntaxError):
        assert info.value.filename == "hostile.py"


def test_a_lone_surrogate_in_the_text_is_a_syntax_error_at_its_place():
    with pytest.raises(SyntaxError) as info:
        compile_statements("x = 1\ny = 2  # \ud800", "s.py")
    assert (info.value.filename, info.value.lineno, info.value.offset) == ("s.py", 2, 10)


def test_many_statements_compile():
    machine = Velk()
    machine.run(compile_statements("x = 0\n" + "x = x + 1\n" * 50_000))
    assert machine.get("x") == 50_000


# --------------------------------------------------------------------------
# Installed with the package, with types


def test_the_zarn_module_is_unchanged():
    assert zarn.__all__ == ["Velk", "Statement", "Expr"]
    assert not hasattr(zarn, "compile_statements")


def test_type_checkers_see_the_annotations(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "use.py").write_text(textwrap.dedent("""
        from zarn_text import compile_expr, compile_statements
        reveal_type(compile_statements("x = 1", filename="r.py"))
        reveal_type(compile_expr("1"))
        compile_statements(1)
    """))
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    result = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--strict", "use.py"],
                            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert re.search(r'Revealed type is "(builtins\.)?list\[zarn\.Statement\]"', result.stdout), result.stdout
    assert 'Revealed type is "zarn.Expr"' in result.stdout, result.stdout
    assert 'Argument 1 to "compile_statements" has incompatible type "int"' in result.stdout
    assert "Found 1 error" in result.stdout, result.stdout


# --------------------------------------------------------------------------
# and, or, not, chained comparisons, conditional values, membership and
# augmented assignment: the same outputs as Python's own exec of the text,
# and a failure exactly where Python would ask a non-Boolean for its truth.

class NotBoolean(Exception):
    """Python asked a number or a text for its truth: zarn fails there."""


def _strict(base):
    def refuse(self):
        raise NotBoolean
    return type(f"Strict{base.__name__}", (base,), {"__bool__": refuse})


STRICT = {int: _strict(int), float: _strict(float), str: _strict(str)}
BOOLS, INTS, TEXTS = ["b0", "b1", "b2"], ["n0", "n1", "n2"], ["s0", "s1"]
OUTS = ["o0", "o1", "o2"]
PRELUDE = "i0 = 1\ni1 = -2\ng = 1.5\n"


def _display(items, brackets):
    inside = ", ".join(items) + ("," if len(items) == 1 and brackets == "()" else "")
    return brackets[0] + inside + brackets[1]


int_operands = st.sampled_from(INTS) | st.integers(-3, 3).map(str)
text_constants = st.sampled_from(['"EU"', '"UK"', '"a"'])
chains = st.builds(lambda first, rest: first + "".join(f" {op} {b}" for op, b in rest), int_operands,
                   st.lists(st.tuples(st.sampled_from(["<", ">", "<=", ">=", "==", "!="]), int_operands),
                            min_size=1, max_size=3))
memberships = st.builds("{} {} {}".format, st.sampled_from(INTS), st.sampled_from(["in", "not in"]),
                        st.builds(_display, st.lists(st.integers(-3, 3).map(str), min_size=1, max_size=3),
                                  st.sampled_from(["()", "[]", "{}"]))) | st.builds(
    "{} {} {}".format, st.sampled_from(TEXTS), st.sampled_from(["in", "not in"]),
    st.builds(_display, st.lists(text_constants, min_size=1, max_size=3), st.sampled_from(["()", "[]", "{}"])))
text_tests = st.builds("{} {} {}".format, st.sampled_from(TEXTS), st.sampled_from(["==", "!="]),
                       st.sampled_from(TEXTS) | text_constants)
not_booleans = st.sampled_from(INTS + TEXTS)  # zarn fails where Python asks for their truth
conditions = st.recursive(
    st.sampled_from(BOOLS + ["True", "False"]) | chains | memberships | text_tests | not_booleans,
    lambda inner: st.one_of(
        inner.map("(not {})".format),
        st.lists(inner, min_size=2, max_size=4).map(lambda parts: "(" + " and ".join(parts) + ")"),
        st.lists(inner, min_size=2, max_size=4).map(lambda parts: "(" + " or ".join(parts) + ")"),
        st.builds("({} if {} else {})".format, inner, inner, inner),
        st.builds("{} and {} or not {}".format, inner, inner, inner)),  # precedence without parentheses
    max_leaves=6)
values = int_operands | text_constants | st.sampled_from(BOOLS + TEXTS)
simple_statements = st.one_of(
    st.builds("{} = {}".format, st.sampled_from(OUTS), conditions),
    st.builds("{} = {} if {} else {}".format, st.sampled_from(OUTS), values, conditions, values),
    st.builds("{} {}= {}".format, st.sampled_from(["i0", "i1"]), st.sampled_from("+-*"), int_operands),
    st.builds("g {}= {}".format, st.sampled_from("+-*/"), int_operands | st.sampled_from(["0.5", "2.0"])),
).map(lambda line: [line])


def _block(keyword, condition, body):
    return [f"{keyword} {condition}:" if condition else f"{keyword}:", *("    " + line for line in body or ["pass"])]


rule_blocks = st.recursive(simple_statements, lambda inner: st.one_of(
    st.lists(inner, min_size=2, max_size=3).map(lambda parts: sum(parts, [])),
    st.builds(lambda c, t, elifs, otherwise: _block("if", c, t) + sum((_block("elif", *e) for e in elifs), [])
              + (_block("else", None, otherwise) if otherwise is not None else []),
              conditions, inner, st.lists(st.tuples(conditions, inner), max_size=2), st.none() | inner)),
    max_leaves=6)
inputs = st.fixed_dictionaries({
    **{name: st.booleans() for name in BOOLS},
    **{name: st.integers(-3, 3) for name in INTS},
    **{name: st.sampled_from(["EU", "UK", "a", ""]) for name in TEXTS},
})


def python_run(text, given):
    """The variables after Python's exec of `text`, and the line at which
    it asked a non-Boolean for its truth (None if it did not);
    ZeroDivisionError passes through: there the two are not compared."""
    namespace = {"__builtins__": {}, **{k: STRICT.get(type(v), type(v))(v) for k, v in given.items()}}
    try:
        exec(compile(text, "<rule>", "exec"), namespace)
        line = None
    except NotBoolean as refused:
        tb = refused.__traceback__
        while tb.tb_next is not None and tb.tb_next.tb_frame.f_code.co_filename == "<rule>":
            tb = tb.tb_next
        line = tb.tb_lineno
    return {k: (v if type(v) is bool else type(v).__mro__[-2](v)) for k, v in namespace.items()
            if k != "__builtins__"}, line


@settings(max_examples=400, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(rule_blocks, inputs)
def test_rules_in_the_new_forms_run_like_python_where_both_are_defined(lines, given):
    text = PRELUDE + "\n".join(lines)
    try:
        want, python_failed_at = python_run(text, given)
    except ZeroDivisionError:
        event("not compared: Python divided by zero")
        return  # zarn's division by zero is an infinity for Floats: no Python meaning to compare with
    event("compared: Python asked a non-Boolean for its truth" if python_failed_at else "compared: ran through")
    program = zarn_text.compile_program(text, "<rule>")
    assert program.inputs <= set(given) and set(want) - set(given) <= program.outputs, text
    machine = Velk()
    machine.run([Statement.let(name, Expr.literal(value)) for name, value in given.items()])
    try:
        program.run(machine)
        zarn_failed_at = None
    except PanicException as failure:
        assert str(failure) in (failures.CONDITION, failures.NOT_OPERAND), (text, str(failure))
        zarn_failed_at = program.line_of(failure.place)
    assert zarn_failed_at == python_failed_at, text
    for name in set(want) | program.outputs:
        got = outcome(lambda: machine.get(name))
        assert (got[0] == "ok") == (name in want), (text, name, got)
        if name in want:
            assert model.same_value(got[1], want[name]), (text, name, got, want[name])


def _let(name, value):
    return Statement.let(name, Expr.literal(value) if not isinstance(value, Expr) else value)


_a, _b, _c, _x = (Expr.ident(n) for n in "abcx")
_T, _E, _E2 = _let("x", 1), _let("x", 2), _let("y", 3)
_TRUE, _FALSE = _let("y", True), _let("y", False)
_lit = Expr.literal
TRANSLATIONS = [
    ("if a and b:\n    x = 1\nelse:\n    x = 2", Statement.if_(_a, [Statement.if_(_b, [_T], [_E])], [_E])),
    ("if a or b:\n    x = 1\nelse:\n    x = 2", Statement.if_(_a, [_T], [Statement.if_(_b, [_T], [_E])])),
    ("if not (a and b):\n    x = 1\nelse:\n    x = 2", Statement.if_(_a, [Statement.if_(_b, [_E], [_T])], [_T])),
    # A repeated list of two statements is shared through one if True.
    ("if a and b:\n    x = 1\nelse:\n    x = 2\n    y = 3",
     Statement.if_(_a, [Statement.if_(_b, [_T], [_E, _E2])], [Statement.if_(_lit(True), [_E, _E2], [])])),
    ("y = a and b", Statement.if_(_a, [_let("y", _b)], [_FALSE])),
    ("y = a or b", Statement.if_(_a, [_TRUE], [_let("y", _b)])),
    ("y = not (a or b)", Statement.if_(_a, [_FALSE], [Statement.if_(_b, [_FALSE], [_TRUE])])),
    ("y = 1 if c else 2", Statement.if_(_c, [_let("y", 1)], [_let("y", 2)])),
    ("y = x in (1, 2)", Statement.if_(Expr.equals(_x, _lit(1)), [_TRUE], [_let("y", Expr.equals(_x, _lit(2)))])),
    ("if x not in ['EU']:\n    x = 1", Statement.if_(Expr.not_(Expr.equals(_x, _lit("EU"))), [_T], [])),
    ("if 0 < x <= 9:\n    x = 1\nelse:\n    x = 2",
     Statement.if_(Expr.less_than(_lit(0), _x), [Statement.if_(Expr.not_(Expr.greater_than(_x, _lit(9))), [_T], [_E])],
                   [_E])),
    ("x += 2", _let("x", Expr.binary_op(_x, "+", _lit(2)))),
    ("x /= a - 1", _let("x", Expr.binary_op(_x, "/", Expr.binary_op(_a, "-", _lit(1))))),
]


@pytest.mark.parametrize("source, tree", TRANSLATIONS, ids=[t[0] for t in TRANSLATIONS])
def test_each_form_is_the_tree_of_nested_ifs_over_shared_branches(source, tree):
    # The codec writes a shared subtree once: equal bytes mean equal trees
    # that share the same statements.
    (compiled,) = compile_statements(source)
    assert dumps(compiled) == dumps(tree)


MISPLACED = [
    ("y = 1 + (a and b)", "the operator 'and' is", (1, 10, 1, 17)),
    ("y = (a or b) == c", "the operator 'or' is", (1, 6, 1, 12)),
    ("y = (a if c else b) + 1", "conditional expressions are", (1, 6, 1, 19)),
    ("if (a < b < c) == d:\n    pass", "chained comparisons are", (1, 5, 1, 14)),
    ("y = -1 * (x in (1, 2))", "membership tests are", (1, 11, 1, 22)),
    ("x += a and b", "the operator 'and' is", (1, 6, 1, 13)),
]


@pytest.mark.parametrize("source, what, position", MISPLACED, ids=[m[0] for m in MISPLACED])
def test_a_form_where_only_an_expression_may_stand_is_refused_saying_where_it_may(source, what, position):
    message = what + " only allowed in an if or elif condition or as the whole value of an assignment"
    with pytest.raises(SyntaxError) as info:
        compile_statements(source)
    assert info.value.msg == message
    assert (info.value.lineno, info.value.offset, info.value.end_lineno, info.value.end_offset) == position
    if source.startswith("y = "):  # an expression on its own is no place for them either
        with pytest.raises(SyntaxError, match=re.escape(message)):
            compile_expr(source[4:])


def test_membership_reads_only_a_name_or_a_constant_once_per_constant():
    # x + 1 would be evaluated once per constant: a run quadratic in the text.
    for source, position in [("y = x + 1 in (1, 2)", (1, 5, 1, 10)), ("if 0 < x * 2 in [4]:\n    pass", (1, 8, 1, 13))]:
        with pytest.raises(SyntaxError) as info:
            compile_statements(source)
        assert info.value.msg.startswith("membership tests are only allowed on a name or a constant")
        assert (info.value.lineno, info.value.offset, info.value.end_lineno, info.value.end_offset) == position


def test_a_failure_inside_a_translated_condition_names_the_line_of_its_if():
    program = zarn_text.compile_program(
        "x = 1\nif b and n > 0:\n    y = 1\nelif c or n < 0:\n    y = 2\nz = 1 if n > 5 else 2\n", "rules.txt")
    assert (program.inputs, program.outputs) == ({"b", "c", "n"}, {"x", "y", "z"})
    for b, c, line in [(True, True, 2), (False, False, 4), (False, True, 6)]:
        machine = Velk()
        machine.run([_let("b", b), _let("c", c), _let("n", "text")])
        with pytest.raises(PanicException) as info:
            program.run(machine)
        assert program.line_of(info.value.place) == line
        assert info.value.__notes__[-1].startswith(f'  File "rules.txt", line {line}\n')


def _clauses_rule(count: int, branch: int) -> str:
    """if over `count` clauses mixing and, or and not, with branches of
    `branch` statements each."""
    groups = [" or ".join(f"c{i + j}" if (i + j) % 3 else f"not c{i + j}" for j in range(5)) for i in range(0, count, 5)]
    condition = " and ".join(f"({group})" if k % 2 else f"not ({group})" for k, group in enumerate(groups))
    then = "".join(f"    t{i} = {i}\n" for i in range(branch))
    otherwise = "".join(f"    e{i} = {i}\n" for i in range(branch))
    return f"if {condition}:\n{then}else:\n{otherwise}"


def _distinct_entries(lines, seen):
    """The line entries reachable from `lines`, each counted once."""
    stack = list(lines)
    while stack:
        entry = stack.pop()
        if id(entry) not in seen:
            seen[id(entry)] = entry
            stack.extend(entry[1] + entry[2])
    return len(seen)


def test_forty_mixed_clauses_compile_pickle_and_run_in_size_linear_in_the_text():
    # Tree bytes (the codec writes a shared subtree once) and line entries
    # grow by the same amount per clause whether the repeated branches hold
    # 5 statements or 50: they are shared, never copied. A run takes one path.
    growth = {}
    for branch in (5, 50):
        sizes = {}
        for count in (10, 20, 40):
            program = zarn_text.compile_program(_clauses_rule(count, branch))
            assert program.inputs == {f"c{i}" for i in range(count)}
            assert program.outputs == {f"{k}{i}" for k in "te" for i in range(branch)}
            tree = Statement.if_(Expr.literal(True), program.statements, [])
            assert pickle.loads(pickle.dumps(program)).line_of((0,)) == 1
            if count == 10:  # to_source writes each shared list out at each place (5 ** 8 places at 40)
                text = zarn_text.to_source(program.statements)
                assert zarn_text.to_source(compile_statements(text)) == text
            sizes[count] = (len(dumps(tree)), _distinct_entries(program._lines, {}))
            for truth in (False, True):
                machine = Velk()
                machine.run([_let(f"c{i}", truth) for i in range(count)])
                # An if and an operand per clause, the wrapper of a shared branch, the branch.
                set_limits(machine, max_steps=2 * count + 2 + 2 * branch)
                program.run(machine)
        growth[branch] = (sizes[40][0] - sizes[20][0], sizes[40][1] - sizes[20][1])
        # Linear, up to the few bytes that longer node numbers take.
        assert abs(growth[branch][0] - 2 * (sizes[20][0] - sizes[10][0])) <= 8, sizes
        assert growth[branch][1] == 2 * (sizes[20][1] - sizes[10][1]), sizes
    # (Wider node numbers, not copies: 20 copies of 50 handles would be 1,000 bytes.)
    assert growth[50][0] < 1.5 * growth[5][0] and growth[5][1] == growth[50][1], growth
    assert growth[5][0] < 20 * 16, growth
