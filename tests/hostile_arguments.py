"""What the module must make of any argument, and a checker that calls it.

Shared by the stateful test (tests/test_stateful.py) and the atheris target
(fuzz/python_fuzz.py): argument objects of every hostile kind, the outcome
each conversion must have (a converted value or an exception type), the
reference model guarded against programs that grow without bound, and
`Checker`, which calls a builder, `run` or `get` and asserts that the module
did what the model predicts: success with the same result, or exactly the
predicted exception with every machine unchanged.
"""

from __future__ import annotations

import operator
from typing import Callable

import zarn

import reference_model as model
from support import PanicException, parse_machine_repr

Expr, Statement, Velk = zarn.Expr, zarn.Statement, zarn.Velk

MAX_NODES = 400  # trees that would grow past this are not built
MAX_TEXT = 4096  # programs whose texts would grow past this are not run


# --------------------------------------------------------------------------
# Argument objects


class Tree:
    """A built Expr or Statement object with its model tree."""

    def __init__(self, obj, tree, nodes):
        self.obj, self.tree, self.nodes = obj, tree, nodes

    def __repr__(self):
        return f"Tree({self.tree!r})"


class Index:
    """Not an int, but with __index__."""

    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n

    def __repr__(self):
        return f"Index({self.n})"


class Real:
    """Only __float__."""

    def __init__(self, x):
        self.x = x

    def __float__(self):
        return self.x

    def __repr__(self):
        return f"Real({self.x!r})"


class Text(str):
    pass


class Seq:
    """A sequence that is no list; its iteration may fail at ``fail_at``."""

    def __init__(self, items, claimed, fail_at, error):
        self.items, self.claimed, self.fail_at, self.error = items, claimed, fail_at, error

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.error
        return self.items[i]

    def __repr__(self):
        return f"Seq({self.items!r}, claimed={self.claimed}, fail_at={self.fail_at}, error={self.error!r})"


def unwrap(arg):
    if isinstance(arg, Tree):
        return arg.obj
    if isinstance(arg, (list, tuple)):
        return type(arg)(unwrap(a) for a in arg)
    if isinstance(arg, Seq):
        return Seq([unwrap(a) for a in arg.items], arg.claimed, arg.fail_at, arg.error)
    return arg


# --------------------------------------------------------------------------
# What the module must make of an argument: ("ok", converted) or ("err", type)


def ok(value):
    return ("ok", value)


def err(exc_type):
    return ("err", exc_type)


def encodable(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def as_literal(arg):
    if arg is None or type(arg) is bool:
        return ok(arg)
    if isinstance(arg, str):
        return ok(str(arg)) if encodable(arg) else err(TypeError)
    if isinstance(arg, (int, Index)):
        n = operator.index(arg)
        if model.INT_MIN <= n <= model.INT_MAX:
            return ok(int(n))
        try:
            return ok(float(n))
        except OverflowError:
            return err(TypeError)
    if type(arg) is float:
        return ok(arg)
    if isinstance(arg, Real):
        return ok(float(arg.x))
    return err(TypeError)


def as_identifier(arg):
    if isinstance(arg, (int, Index)) and 0 <= operator.index(arg) <= model.U32_MAX:
        return ok(("U", operator.index(arg)))
    if isinstance(arg, str) and encodable(arg):
        return ok(("S", str(arg)))
    return err(TypeError)


def as_expr(arg):
    if isinstance(arg, Tree) and type(arg.obj) is Expr:
        return ok(arg)
    return err(TypeError)


def as_operator(arg):
    if not isinstance(arg, str):
        return err(TypeError)
    if not encodable(arg):
        return err(UnicodeEncodeError)
    return ok(arg)  # judged only after every argument converted


def as_statement_list(arg):
    """("ok", [Tree]) or ("err", type), item by item in the order they are read."""
    if isinstance(arg, str):
        return err(TypeError)
    if isinstance(arg, bytes):
        return ok([]) if not arg else err(TypeError)  # a sequence of ints
    if isinstance(arg, Seq):
        items, fail_at = arg.items, arg.fail_at
    elif isinstance(arg, (list, tuple)):
        items, fail_at = list(arg), None
    else:
        return err(TypeError)  # not a sequence at all
    trees = []
    for i in range(len(items) + 1):
        if i == fail_at:
            return err(type(arg.error))
        if i == len(items):
            break
        if not (isinstance(items[i], Tree) and type(items[i].obj) is Statement):
            return err(TypeError)
        trees.append(items[i])
    return ok(trees)


def first_failure(*outcomes):
    for outcome in outcomes:
        if outcome[0] == "err":
            return outcome[1]
    return None


# --------------------------------------------------------------------------
# The model, guarded against programs too big to run


class TooBig(Exception):
    pass


class BoundedModel(model.Machine):
    def evaluate(self, expr):
        value = super().evaluate(expr)
        if type(value) is str and len(value) > MAX_TEXT:
            raise TooBig
        return value

    def copy(self):
        twin = BoundedModel()
        twin.vars = dict(self.vars)
        return twin


class Machine:
    """A Velk object and its model; the model is None once unknowable."""

    def __init__(self):
        self.velk = Velk()
        self.model = BoundedModel()

    def __repr__(self):
        return f"Machine({self.model.vars if self.model else '?'})"



def assert_machine_matches(m: Machine):
    if m.model is None:
        repr(m.velk)
        return
    assert sorted(parse_machine_repr(repr(m.velk))) == sorted(m.model.entries())


# --------------------------------------------------------------------------
# Calling the module and judging the outcome


class Checker:
    """Calls the module and checks each call against the model.

    Builders return the new Tree, or None after the predicted failure.
    MemoryError is accepted from any call (a machine it interrupted is
    unknowable afterwards). ``note`` receives a short text per call outcome
    (for statistics).
    """

    def __init__(self, note: Callable[[str], None] = lambda text: None):
        self.note = note

    def build(self, call, failure, make_tree, nodes):
        if failure is None and nodes > MAX_NODES:
            return None
        try:
            obj = call()
        except MemoryError:
            self.note("builder: MemoryError")
            return None
        except BaseException as exc:  # noqa: BLE001 - judged here
            assert failure is not None, f"unexpected {type(exc).__name__}: {exc}"
            assert type(exc) is failure, f"expected {failure.__name__}, got {type(exc).__name__}: {exc}"
            self.note(f"builder: {failure.__name__}")
            return None
        assert failure is None, f"expected {failure.__name__}, the call succeeded"
        tree = make_tree()
        self.note(f"builder: built {tree[0]}")
        return Tree(obj, tree, nodes)

    def literal(self, value, by_keyword=False):
        outcome = as_literal(value)
        call = (lambda: Expr.literal(value=value)) if by_keyword else (lambda: Expr.literal(value))
        return self.build(call, first_failure(outcome), lambda: ("lit", outcome[1]), 1)

    def ident(self, name):
        outcome = as_identifier(name)
        return self.build(lambda: Expr.ident(name), first_failure(outcome), lambda: ("ident", outcome[1]), 1)

    def binary_op(self, a, o, b):
        failure = first_failure(as_expr(a), as_operator(o), as_expr(b))
        if failure is None and o not in ("+", "-", "*", "/"):
            failure = ValueError  # the operator text is judged last
        nodes = 1 + getattr(a, "nodes", 0) + getattr(b, "nodes", 0)
        return self.build(lambda: Expr.binary_op(unwrap(a), o, unwrap(b)), failure,
                          lambda: ("bin", a.tree, o, b.tree), nodes)

    def pair(self, kind, a, b):
        builder = {"eq": Expr.equals, "gt": Expr.greater_than, "lt": Expr.less_than}[kind]
        nodes = 1 + getattr(a, "nodes", 0) + getattr(b, "nodes", 0)
        return self.build(lambda: builder(unwrap(a), unwrap(b)), first_failure(as_expr(a), as_expr(b)),
                          lambda: (kind, a.tree, b.tree), nodes)

    def not_(self, item):
        return self.build(lambda: Expr.not_(unwrap(item)), first_failure(as_expr(item)),
                          lambda: ("not", item.tree), 1 + getattr(item, "nodes", 0))

    def let(self, name, pxpr):
        ident_outcome = as_identifier(name)
        return self.build(lambda: Statement.let(name, unwrap(pxpr)), first_failure(ident_outcome, as_expr(pxpr)),
                          lambda: ("let", ident_outcome[1], pxpr.tree), 1 + getattr(pxpr, "nodes", 0))

    def if_(self, cond, then, otherwise):
        outcomes = (as_expr(cond), as_statement_list(then), as_statement_list(otherwise))
        failure = first_failure(*outcomes)
        nodes = 1
        if failure is None:
            nodes += cond.nodes + sum(t.nodes for t in outcomes[1][1] + outcomes[2][1])
        return self.build(
            lambda: Statement.if_(unwrap(cond), unwrap(then), unwrap(otherwise)), failure,
            lambda: ("if", cond.tree, tuple(t.tree for t in outcomes[1][1]), tuple(t.tree for t in outcomes[2][1])),
            nodes)

    def run(self, m: Machine, stmts, by_keyword=False):
        outcome = as_statement_list(stmts)
        given = unwrap(stmts)
        call = (lambda: m.velk.run(stmts=given)) if by_keyword else (lambda: m.velk.run(given))
        if outcome[0] == "err":
            try:
                call()
            except BaseException as exc:  # noqa: BLE001 - judged here
                assert type(exc) is outcome[1], repr(exc)
            else:
                raise AssertionError(f"expected {outcome[1].__name__}, the run succeeded")
            assert_machine_matches(m)  # nothing ran
            self.note(f"run: {outcome[1].__name__} from the conversion")
            return
        trees = [t.tree for t in outcome[1]]
        if m.model is None:
            try:
                call()
            except PanicException:
                pass
            return
        twin = m.model.copy()
        try:
            twin.run(trees)
            expected = None
        except model.ModelError as exc:
            expected = exc.message
        except TooBig:
            return  # not run: its texts would grow without bound
        except model.Indeterminate:
            twin = None  # the outcome depends on an unspecified NaN sign
            expected = "?"
        try:
            call()
            got = None
        except PanicException as exc:
            got = str(exc)
        except MemoryError:
            # Exhausted memory is always a possible outcome; which statements
            # completed before it is then unknown.
            m.model = None
            self.note("run: MemoryError")
            return
        m.model = twin
        self.note("run: " + ("completed" if got is None else "failed in the language")
                  + (" (no statements)" if not trees else ""))
        if twin is not None:
            assert got == expected, (got, expected)
        assert_machine_matches(m)

    def get(self, m: Machine, name):
        outcome = as_identifier(name)
        if outcome[0] == "err":
            try:
                m.velk.get(name)
            except BaseException as exc:  # noqa: BLE001 - judged here
                assert type(exc) is outcome[1], repr(exc)
            else:
                raise AssertionError(f"expected {outcome[1].__name__}, get succeeded")
            return
        if m.model is None:
            return
        try:
            expected = ("ok", m.model.get_value(outcome[1]))
        except model.ModelError as exc:
            expected = ("panic", exc.message)
        try:
            got = ("ok", m.velk.get(ident=name))
        except PanicException as exc:
            got = ("panic", str(exc))
        except MemoryError:
            self.note("get: MemoryError")
            return
        self.note(f"get: {got[0]}")
        assert got[0] == expected[0], (got, expected)
        assert got[1] == expected[1] if got[0] == "panic" else model.same_value(got[1], expected[1]), (got, expected)

    def printed(self, m: Machine):
        assert_machine_matches(m)
        assert str(m.velk) == repr(m.velk)
