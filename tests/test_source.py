"""zarn_text: rules text compiles to the trees the builders make by hand."""

import ast
import math
import os
import re
import subprocess
import sys
import textwrap

import pytest
import zarn
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from zarn import Expr, Statement, Velk

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
    ("x = a and b", "the operator 'and' is", (1, 5, 1, 12)),
    ("x = a or b", "the operator 'or' is", (1, 5, 1, 11)),
    ("x = a < b < c", "chained comparisons are", (1, 5, 1, 14)),
    ("x = a is b", "the operator 'is' is", (1, 5, 1, 11)),
    ("x = a is not b", "the operator 'is not' is", (1, 5, 1, 15)),
    ("x = a in b", "the operator 'in' is", (1, 5, 1, 11)),
    ("x = a not in b", "the operator 'not in' is", (1, 5, 1, 15)),
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
    ("x += 1", "augmented assignments are", (1, 1, 1, 7)),
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
    ("x = a if b else c", "conditional expressions are", (1, 5, 1, 18)),
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
