"""Compile rules written as Python-syntax text into zarn trees.

Text is read with :func:`ast.parse` only (never evaluated) and mapped onto
the builders of :class:`zarn.Expr` and :class:`zarn.Statement`, one tree
shape per construct, with zarn's meaning: ``7 / 2`` is the Int 3, ``"a" + 1``
fails when it runs, conditions must be Booleans.  Everything outside the
language is refused with a :class:`SyntaxError` carrying the file name, line
and column of the construct, before any tree is built.

    >>> from zarn import Velk
    >>> from zarn_text import compile_statements
    >>> machine = Velk()
    >>> machine.run(compile_statements("x = 7 / 2"))
    >>> machine.get("x")
    3

:func:`compile_program` keeps the text beside the statements: the names
they need and bind, and the line of a failing statement.

See docs/source_text.rst for the whole mapping.
"""

from __future__ import annotations

import ast
import re
from itertools import accumulate
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any, Final, Literal, NoReturn, overload

from zarn import Expr, Statement, Velk
from zarn_runtime import PanicException

from . import _evaluate
from ._source import to_source

if TYPE_CHECKING:
    from zarn import _Value

__all__ = ["compile_statements", "compile_expr", "compile_program", "Program", "to_source"]

_I64_MIN: Final = -(2**63)
_I64_MAX: Final = 2**63 - 1

# --------------------------------------------------------------------------
# What is refused, and how it is named in the message.

_REFUSED_NAMES: Final = {
    # statements
    "Expr": "expression statements are",
    "AnnAssign": "annotated assignments are",
    "For": "for loops are",
    "AsyncFor": "async for loops are",
    "While": "while loops are",
    "FunctionDef": "function definitions are",
    "AsyncFunctionDef": "function definitions are",
    "ClassDef": "class definitions are",
    "Return": "return statements are",
    "Delete": "del statements are",
    "Import": "imports are",
    "ImportFrom": "imports are",
    "Global": "global declarations are",
    "Nonlocal": "nonlocal declarations are",
    "Raise": "raise statements are",
    "Try": "try statements are",
    "TryStar": "try statements are",
    "Assert": "assert statements are",
    "With": "with statements are",
    "AsyncWith": "with statements are",
    "Match": "match statements are",
    "Break": "break statements are",
    "Continue": "continue statements are",
    "TypeAlias": "type aliases are",
    # expressions
    "Call": "function calls are",
    "Attribute": "attributes are",
    "Subscript": "subscripts are",
    "Slice": "slices are",
    "NamedExpr": "assignment expressions (:=) are",
    "Lambda": "lambda expressions are",
    "Dict": "dict displays are",
    "Set": "set displays are",
    "List": "list displays are",
    "Tuple": "tuples are",
    "ListComp": "comprehensions are",
    "SetComp": "comprehensions are",
    "DictComp": "comprehensions are",
    "GeneratorExp": "generator expressions are",
    "Await": "await expressions are",
    "Yield": "yield expressions are",
    "YieldFrom": "yield expressions are",
    "JoinedStr": "f-strings are",
    "FormattedValue": "f-strings are",
    "TemplateStr": "template strings are",
    "Interpolation": "template strings are",
    "Starred": "starred expressions are",
}
_REFUSED: Final = {
    getattr(ast, name): what + " not part of the language"
    for name, what in _REFUSED_NAMES.items()
    if hasattr(ast, name)
}
_OPERATOR_NAMES: Final = {
    ast.FloorDiv: "//", ast.Mod: "%", ast.Pow: "**", ast.MatMult: "@",
    ast.LShift: "<<", ast.RShift: ">>", ast.BitAnd: "&", ast.BitOr: "|", ast.BitXor: "^",
    ast.Is: "is", ast.IsNot: "is not", ast.In: "in", ast.NotIn: "not in",
    ast.And: "and", ast.Or: "or", ast.Invert: "~", ast.UAdd: "unary +",
}

# --------------------------------------------------------------------------
# The first pass turns the syntax tree into a postfix list of build steps,
# refusing what the language lacks; the second runs the steps with the
# builders. Both walk with explicit stacks, so any depth the parser accepts
# is compiled.
#
# A step is a pair: its kind, then what the kind needs. The build keeps
# three stacks: expressions (Expr), conditions and statements. A condition
# is an Expr or a compound of and, or, not, a conditional value or a chain
# of comparisons (with membership), which the let or if that takes it
# translates into ifs (_translate); compounds stand only where a condition
# may: an if/elif condition, the whole value of an assignment, and the
# operands of and, or, not and conditional values there.

type _Comparison = Callable[[Expr, Expr], Expr]
# One link of a chain of comparisons: the builder (None for membership in a
# display), whether its result is negated, and how many operands it pops
# (1 for a comparison, one per constant for membership).
type _Link = tuple[_Comparison | None, bool, int]
type _Step = (
    tuple[Literal["literal"], _Value]  # pushes the expression
    | tuple[Literal["ident"], str]  # pushes the expression
    | tuple[Literal["binary"], str]  # the operator text; pops b, a
    | tuple[Literal["compare", "not compare"], _Comparison]  # pops b, a; "not compare": not_ of it
    | tuple[Literal["not"], None]  # not_ of the expression on top
    | tuple[Literal["to condition"], None]  # moves the expression on top to the conditions
    | tuple[Literal["not condition"], None]  # negates the condition on top
    | tuple[Literal["and", "or"], int]  # the operand count; pops as many conditions
    | tuple[Literal["choose"], None]  # pops the conditions otherwise, then and the test
    | tuple[Literal["chain"], tuple[_Link, ...]]  # pops the left operand and the links' (expressions)
    # The name and the line; pops the value (an expression, a condition).
    | tuple[Literal["let", "let condition"], str, int]
    | tuple[Literal["then", "otherwise"], None]  # a branch's statements start here
    # The line; pops the condition (an expression, a condition). The
    # branches are the statements since the two marks.
    | tuple[Literal["if", "if condition"], int]
)
# A work item of the plan: a node to plan, a step to emit once the items
# above it are done, or a node where a condition may stand.
type _Work = ast.AST | _Step | tuple[Literal["condition"], ast.expr]
# The lines of a statement list, one entry per statement: its line, and the
# lines of its then-list and of its otherwise-list (both empty for a let).
# Translated conditions share entries as they share statements.
type _Lines = tuple[_LineEntry, ...]
type _LineEntry = tuple[int, _Lines, _Lines]

_BINARY_OPERATORS: Final = {ast.Add: "+", ast.Sub: "-", ast.Mult: "*", ast.Div: "/"}
_COMPARISON_STEPS: Final[dict[type[ast.cmpop], tuple[Literal["compare", "not compare"], _Comparison]]] = {
    ast.Eq: ("compare", Expr.equals),
    ast.Lt: ("compare", Expr.less_than),
    ast.Gt: ("compare", Expr.greater_than),
    ast.NotEq: ("not compare", Expr.equals),
    ast.LtE: ("not compare", Expr.greater_than),
    ast.GtE: ("not compare", Expr.less_than),
}
_MEMBERSHIP: Final = (ast.In, ast.NotIn)
_ALLOWED_ONLY: Final = "only allowed in an if or elif condition or as the whole value of an assignment"
_THEN_STEP: Final[_Step] = ("then", None)
_OTHERWISE_STEP: Final[_Step] = ("otherwise", None)
_NOT_STEP: Final[_Step] = ("not", None)
_NOT_CONDITION_STEP: Final[_Step] = ("not condition", None)
_TO_CONDITION_STEP: Final[_Step] = ("to condition", None)
_CONDITION_FORMS: Final = frozenset({ast.BoolOp, ast.UnaryOp, ast.IfExp, ast.Compare})
_CHOOSE_STEP: Final[_Step] = ("choose", None)


class _Refused(Exception):
    def __init__(self, node: ast.AST, message: str) -> None:
        super().__init__(message)
        self.node = node
        self.message = message


def _refuse(node: ast.AST) -> _Refused:
    kind = type(node)
    # A bare call is the likely mistake: name it, not the statement.
    if isinstance(node, ast.Expr) and type(node.value) in _REFUSED:
        return _refuse(node.value)
    message = _REFUSED.get(kind)
    if message is None:
        message = f"{kind.__name__} nodes are not part of the language"
    return _Refused(node, message)


def _operator_refused(node: ast.AST, op: ast.AST) -> _Refused:
    return _Refused(node, f"the operator '{_OPERATOR_NAMES[type(op)]}' is not part of the language")


def _misplaced(node: ast.AST) -> _Refused | None:
    """The refusal of a compound form where only an expression may stand."""
    if isinstance(node, ast.BoolOp):
        return _Refused(node, f"the operator '{_OPERATOR_NAMES[type(node.op)]}' is {_ALLOWED_ONLY}")
    if isinstance(node, ast.IfExp):
        return _Refused(node, f"conditional expressions are {_ALLOWED_ONLY}")
    if isinstance(node, ast.Compare):
        if len(node.ops) > 1:
            return _Refused(node, f"chained comparisons are {_ALLOWED_ONLY}")
        if _constant_display(node.ops[0], node.comparators[0]) is not None:
            return _Refused(node, f"membership tests are {_ALLOWED_ONLY}")
    return None


def _constant_display(op: ast.cmpop, comparator: ast.expr) -> list[ast.expr] | None:
    """The constants of `op comparator` when it is a membership test the
    language has: in or not in a tuple, list or set display of constants (a
    minus allowed); else None."""
    if type(op) not in _MEMBERSHIP or not isinstance(comparator, (ast.Tuple, ast.List, ast.Set)):
        return None
    items = comparator.elts
    if items and all(type(item) is ast.Constant or (type(item) is ast.UnaryOp and type(item.op) is ast.USub)
                     for item in items):
        return items
    return None


def _constant(node: ast.AST, value: object) -> _Step:
    if type(value) is int:
        if not _I64_MIN <= value <= _I64_MAX:
            # Outside 64 bits the builder takes the nearest double, as
            # Expr.literal does with the same int; beyond that it refuses.
            try:
                float(value)
            except OverflowError:
                raise _Refused(node, "integer constants beyond the range of a float are "
                                     "not part of the language") from None
        return ("literal", value)
    if type(value) is str:
        if not value.isascii():
            try:
                value.encode("utf-8")
            except UnicodeEncodeError:
                raise _Refused(node, "strings with lone surrogates are not part of the language") from None
        return ("literal", value)
    if value is None or type(value) is bool or type(value) is float:
        return ("literal", value)
    what = {bytes: "bytes constants are", complex: "complex numbers are"}.get(type(value), "the constant ... is")
    raise _Refused(node, f"{what} not part of the language")


class _Planner:
    """What the planners of nodes add to: the steps, and the work still to
    do (a stack: the item pushed last is planned first)."""

    __slots__ = ("emit", "push", "extend")

    def __init__(self, steps: list[_Step], work: list[_Work]) -> None:
        self.emit = steps.append
        self.push = work.append
        self.extend = work.extend


# The planner of each kind of node that the language has (but names and
# constants, which _plan does itself), by the node's type. The decorator
# ties each planner to its type, so the table may take the node as Any.
_PLANNERS: Final[dict[type, Callable[[Any, _Planner], None]]] = {}


def _plans[N: ast.AST](kind: type[N]) -> Callable[[Callable[[N, _Planner], None]], Callable[[N, _Planner], None]]:
    def register(planner: Callable[[N, _Planner], None]) -> Callable[[N, _Planner], None]:
        _PLANNERS[kind] = planner
        return planner
    return register


def _plan(roots: list[ast.stmt] | list[ast.expr]) -> list[_Step]:
    """The build steps of `roots` (statements, or one expression), in order."""
    steps: list[_Step] = []
    emit = steps.append
    work: list[_Work] = [*reversed(roots)]
    push, pop = work.append, work.pop
    planner = _Planner(steps, work)
    planners = _PLANNERS
    Name, Constant = ast.Name, ast.Constant
    while work:
        item = pop()
        if type(item) is tuple:
            if item[0] == "condition":
                node = item[1]
                if type(node) in _CONDITION_FORMS and _is_condition(node):
                    _plan_condition(node, planner)
                else:  # an expression, moved to the conditions once built
                    push(_TO_CONDITION_STEP)
                    push(node)
            else:
                emit(item)
        elif type(item) is Name:  # names and constants, most of any text, without a call
            emit(("ident", item.id))
        elif type(item) is Constant:
            emit(_constant(item, item.value))
        else:
            planners.get(type(item), _plan_refused)(item, planner)
    return steps


def _plan_refused(node: ast.AST, planner: _Planner) -> None:
    """The planner of every node that the language lacks."""
    raise _misplaced(node) or _refuse(node)


def _is_condition(node: ast.expr) -> bool:
    """Whether `node` is a form that only a condition may be: and, or, not,
    a conditional value, a chain of comparisons or a membership test."""
    if type(node) not in _CONDITION_FORMS:
        return False
    if type(node) is ast.UnaryOp:
        return type(node.op) is ast.Not
    if type(node) is ast.Compare:
        return len(node.ops) > 1 or type(node.ops[0]) in _MEMBERSHIP
    return True


def _plan_condition(node: ast.expr, planner: _Planner) -> None:
    """Plans `node`, a form that only a condition may be (_is_condition),
    where a condition may stand: its condition is pushed on the
    conditions."""
    push = planner.push
    if type(node) is ast.BoolOp:
        push(("and" if type(node.op) is ast.And else "or", len(node.values)))
        for value in reversed(node.values):
            push(("condition", value))
    elif type(node) is ast.UnaryOp:  # not
        push(_NOT_CONDITION_STEP)
        push(("condition", node.operand))
    elif type(node) is ast.IfExp:
        push(_CHOOSE_STEP)
        push(("condition", node.orelse))
        push(("condition", node.body))
        push(("condition", node.test))
    elif type(node) is ast.Compare:
        _plan_comparison(node, push)


def _plan_comparison(node: ast.Compare, push: Callable[[_Work], None]) -> None:
    """Plans a chain of comparisons, or one membership test, where a
    condition may stand: each middle operand is planned once and used by
    the two links beside it."""
    ops, comparators = node.ops, node.comparators
    last = len(ops) - 1
    links: list[_Link] = []
    operands: list[ast.expr] = []
    for at, (op, comparator) in enumerate(zip(ops, comparators)):
        items = _constant_display(op, comparator) if at == last else None
        if items is not None:
            # Its operand is read once per constant: a name or a constant
            # keeps the run linear in the text.
            tested = comparators[at - 1] if at else node.left
            if type(tested) is not ast.Name and type(tested) is not ast.Constant:
                raise _Refused(tested, "membership tests are only allowed on a name or a constant "
                                        "(assign the value to a name first)")
            links.append((None, type(op) is ast.NotIn, len(items)))
            operands.extend(items)
            continue
        found = _COMPARISON_STEPS.get(type(op))
        if found is None:
            raise _operator_refused(node, op)
        links.append((found[1], found[0] == "not compare", 1))
        operands.append(comparator)
    push(("chain", tuple(links)))
    for operand in reversed(operands):
        push(operand)
    push(node.left)


@_plans(ast.BinOp)
def _plan_binary(node: ast.BinOp, planner: _Planner) -> None:
    op = _BINARY_OPERATORS.get(type(node.op))
    if op is None:
        raise _operator_refused(node, node.op)
    push = planner.push
    push(("binary", op))
    push(node.right)
    push(node.left)


@_plans(ast.Compare)
def _plan_compare(node: ast.Compare, planner: _Planner) -> None:
    misplaced = _misplaced(node)
    if misplaced is not None:
        raise misplaced
    found = _COMPARISON_STEPS.get(type(node.ops[0]))
    if found is None:
        raise _operator_refused(node, node.ops[0])
    push = planner.push
    push(found)
    push(node.comparators[0])
    push(node.left)


@_plans(ast.UnaryOp)
def _plan_unary(node: ast.UnaryOp, planner: _Planner) -> None:
    op_kind = type(node.op)
    if op_kind is ast.Not:
        planner.push(_NOT_STEP)
        planner.push(node.operand)
    elif op_kind is ast.USub:
        operand = node.operand
        number = operand.value if isinstance(operand, ast.Constant) else None
        if type(number) is not int and type(number) is not float:
            raise _Refused(node, "unary minus on anything but a number constant is not part of the language")
        planner.emit(_constant(node, -number))
    else:
        raise _operator_refused(node, node.op)


@_plans(ast.Assign)
def _plan_assign(node: ast.Assign, planner: _Planner) -> None:
    targets = node.targets
    if len(targets) > 1:
        raise _Refused(targets[1], "chained assignments are not part of the language")
    target = targets[0]
    if not isinstance(target, ast.Name):
        if type(target) in (ast.Tuple, ast.List):
            raise _Refused(target, "unpacking assignments are not part of the language")
        raise _refuse(target)
    push = planner.push
    value = node.value
    if type(value) in _CONDITION_FORMS and _is_condition(value):
        push(("let condition", target.id, node.lineno))
        push(("condition", value))
    else:
        push(("let", target.id, node.lineno))
        push(value)


@_plans(ast.AugAssign)
def _plan_augmented(node: ast.AugAssign, planner: _Planner) -> None:
    # x += e is x = x + e: the target is read first.
    op = _BINARY_OPERATORS.get(type(node.op))
    if op is None:
        raise _Refused(node, f"the operator '{_OPERATOR_NAMES[type(node.op)]}=' is not part of the language")
    target = node.target
    if not isinstance(target, ast.Name):
        raise _refuse(target)
    push = planner.push
    push(("let", target.id, node.lineno))
    push(("binary", op))
    push(node.value)
    planner.emit(("ident", target.id))


@_plans(ast.If)
def _plan_if(node: ast.If, planner: _Planner) -> None:
    push = planner.push
    test = node.test
    condition = type(test) in _CONDITION_FORMS and _is_condition(test)
    push(("if condition" if condition else "if", node.lineno))
    planner.extend(reversed(node.orelse))
    push(_OTHERWISE_STEP)
    planner.extend(reversed(node.body))
    push(_THEN_STEP)
    push(("condition", test) if condition else test)


@_plans(ast.Pass)
def _plan_pass(node: ast.Pass, planner: _Planner) -> None:
    pass


# A condition on the build stack: an Expr, or a compound whose operands are
# conditions.
type _Condition = Expr | _Compound
type _Compound = (
    tuple[Literal["and", "or"], list[_Condition]]
    | tuple[Literal["not"], _Condition]
    | tuple[Literal["choose"], _Condition, _Condition, _Condition]  # the test, then, otherwise
)
_ALWAYS: Final = Expr.literal(True)


class _Branch:
    """A statement list (and its lines) that a translated condition reaches
    from several places. Each place gets the same Statement objects: a list
    of one statement is copied into each if (one handle), a longer one only
    into the first; the others get one shared ``if True:`` around it, so the
    tree stays linear in the text whatever the mix of and and or."""

    __slots__ = ("statements", "lines", "_used", "_wrapped")

    def __init__(self, statements: list[Statement], lines: _Lines) -> None:
        self.statements = statements
        self.lines = lines
        self._used = False
        self._wrapped: tuple[list[Statement], _Lines] | None = None

    def use(self, line: int) -> tuple[list[Statement], _Lines]:
        if not self._used or len(self.statements) < 2:
            self._used = True
            return self.statements, self.lines
        if self._wrapped is None:
            self._wrapped = ([Statement.if_(_ALWAYS, self.statements, [])],
                             ((line, self.lines, ()),) if self.lines else ())
        return self._wrapped


# An assignment of a translated value: the name, and the branches that bind
# it to True and to False.
type _Assignment = tuple[str, _Branch, _Branch]
# The work of a translation (a stack): the choice of a condition between
# two branches, the assignment of a value, the rest of an and or or from
# operand at (before the result of the operands after it), and the test of
# a conditional value between the last two results.
type _Task = (
    tuple[Literal["if"], _Condition, _Branch, _Branch]
    | tuple[Literal["let"], _Condition, _Assignment]
    | tuple[Literal["and", "or"], list[_Condition], int, _Branch]
    | tuple[Literal["choose"], _Condition]
)


def _translate(root: _Compound, line: int, keep_lines: bool, name: str | None = None,
               then: _Branch | None = None, otherwise: _Branch | None = None) -> _Branch:
    """The one statement that a compound condition becomes: for `name`,
    the assignment of its value; otherwise the if that runs `then` or
    `otherwise`. And, or and conditional values become nested ifs over the
    same branches (short-circuit as in Python: an operand is evaluated only
    on the paths where Python evaluates it); not swaps the branches. Every
    if made here has `line`."""
    if_, let = Statement.if_, Statement.let

    def lines_of(entry: _LineEntry) -> _Lines:
        return (entry,) if keep_lines else ()

    tasks: list[_Task]
    if name is not None:
        true = _Branch([let(name, Expr.literal(True))], lines_of((line, (), ())))
        false = _Branch([let(name, Expr.literal(False))], lines_of((line, (), ())))
        tasks = [("let", root, (name, true, false))]
    elif then is not None and otherwise is not None:
        tasks = [("if", root, then, otherwise)]
    else:
        raise TypeError("_translate takes a name or both branches")
    results: list[_Branch] = []
    while tasks:
        task = tasks.pop()
        if task[0] == "if":  # the condition chooses between the two branches
            _, condition, yes, no = task
            while type(condition) is tuple and condition[0] == "not":
                condition, yes, no = condition[1], no, yes
            if type(condition) is Expr:
                yes_statements, yes_lines = yes.use(line)
                no_statements, no_lines = no.use(line)
                statement = if_(condition, yes_statements, no_statements)
                results.append(_Branch([statement], lines_of((line, yes_lines, no_lines))))
            elif condition[0] == "and":  # a and b: if a: (if b: yes else no) else no
                operands = condition[1]
                tasks.append(("and", operands, len(operands) - 2, no))
                tasks.append(("if", operands[-1], yes, no))
            elif condition[0] == "or":  # a or b: if a: yes else (if b: yes else no)
                operands = condition[1]
                tasks.append(("or", operands, len(operands) - 2, yes))
                tasks.append(("if", operands[-1], yes, no))
            elif condition[0] == "choose":  # (t if c else o): if c: (if t: yes else no) else (if o: yes else no)
                tasks.append(("choose", condition[1]))
                tasks.append(("if", condition[3], yes, no))
                tasks.append(("if", condition[2], yes, no))
        elif task[0] == "let":  # the assignment of the value
            _, value, assignment = task
            target, true, false = assignment
            if type(value) is Expr:
                results.append(_Branch([let(target, value)], lines_of((line, (), ()))))
            elif value[0] == "not":  # Python's not gives a bool
                tasks.append(("if", value[1], false, true))
            elif value[0] == "and":  # a and b: if a: y = b else: y = False
                operands = value[1]
                tasks.append(("and", operands, len(operands) - 2, false))
                tasks.append(("let", operands[-1], assignment))
            elif value[0] == "or":  # a or b: if a: y = True else: y = b
                operands = value[1]
                tasks.append(("or", operands, len(operands) - 2, true))
                tasks.append(("let", operands[-1], assignment))
            elif value[0] == "choose":  # y = t if c else o: if c: y = t else: y = o
                tasks.append(("choose", value[1]))
                tasks.append(("let", value[3], assignment))
                tasks.append(("let", value[2], assignment))
        elif task[0] == "choose":  # the test between the last two results
            otherwise_result = results.pop()
            tasks.append(("if", task[1], results.pop(), otherwise_result))
        elif task[0] == "and" or task[0] == "or":  # operand at, before the result of the operands after it
            tag, operands, at, other = task
            rest = results.pop()
            if at > 0:
                tasks.append((tag, operands, at - 1, other))
            if tag == "and":
                tasks.append(("if", operands[at], rest, other))
            else:
                tasks.append(("if", operands[at], other, rest))
    (result,) = results
    return result


def _chain(operands: list[Expr], links: tuple[_Link, ...]) -> _Condition:
    """The condition of a chain of comparisons, or of one membership test:
    the and of its links, each middle operand shared by the two links
    beside it; membership is the or of equalities in the display's order."""
    left = operands[0]
    at = 1
    conditions: list[_Condition] = []
    for builder, negated, count in links:
        condition: _Condition
        if builder is None:
            equalities: list[_Condition] = [Expr.equals(left, item) for item in operands[at:at + count]]
            condition = ("or", equalities) if count > 1 else equalities[0]
        else:
            right = operands[at]
            condition = builder(left, right)
            left = right
        if negated:
            condition = Expr.not_(condition) if type(condition) is Expr else ("not", condition)
        conditions.append(condition)
        at += count
    return conditions[0] if len(conditions) == 1 else ("and", conditions)


def _build(steps: list[_Step], lines: list[_LineEntry] | None = None) -> tuple[list[Statement], list[Expr]]:
    """The trees of `steps`: the statements, and what is left on the
    expressions (the expression of steps planned from one); for steps
    planned with lines, `lines` receives the line entry of each statement."""
    literal, ident, binary_op, not_ = Expr.literal, Expr.ident, Expr.binary_op, Expr.not_
    let, if_ = Statement.let, Statement.if_
    exprs: list[Expr] = []
    push, pop = exprs.append, exprs.pop
    conditions: list[_Condition] = []
    statements: list[Statement] = []
    # Where each open branch starts in statements (and in lines, which holds
    # one entry per statement).
    marks: list[int] = []
    for step in steps:
        match step[0]:
            case "literal":
                push(literal(step[1]))
            case "ident":
                push(ident(step[1]))
            case "let" | "let condition":
                value = pop() if step[0] == "let" else conditions.pop()
                if type(value) is Expr:
                    statements.append(let(step[1], value))
                    if lines is not None:
                        lines.append((step[2], (), ()))
                else:
                    made = _translate(value, step[2], lines is not None, name=step[1])
                    statements.append(made.statements[0])
                    if lines is not None:
                        lines.append(made.lines[0])
            case "then" | "otherwise":
                marks.append(len(statements))
            case "binary":
                b = pop()
                push(binary_op(pop(), step[1], b))
            case "compare":
                b = pop()
                push(step[1](pop(), b))
            case "if" | "if condition":
                otherwise_at = marks.pop()
                then_at = marks.pop()
                then, otherwise = statements[then_at:otherwise_at], statements[otherwise_at:]
                del statements[then_at:]
                then_lines: _Lines = ()
                otherwise_lines: _Lines = ()
                if lines is not None:
                    then_lines = tuple(lines[then_at:otherwise_at])
                    otherwise_lines = tuple(lines[otherwise_at:])
                    del lines[then_at:]
                condition = pop() if step[0] == "if" else conditions.pop()
                if type(condition) is Expr:
                    statements.append(if_(condition, then, otherwise))
                    if lines is not None:
                        lines.append((step[1], then_lines, otherwise_lines))
                else:
                    made = _translate(condition, step[1], lines is not None,
                                      then=_Branch(then, then_lines), otherwise=_Branch(otherwise, otherwise_lines))
                    statements.append(made.statements[0])
                    if lines is not None:
                        lines.append(made.lines[0])
            case "to condition":
                conditions.append(pop())
            case "not":
                push(not_(pop()))
            case "not condition":
                operand = conditions.pop()
                conditions.append(not_(operand) if type(operand) is Expr else ("not", operand))
            case "not compare":
                b = pop()
                push(not_(step[1](pop(), b)))
            case "and" | "or":
                count = step[1]
                operands = conditions[-count:]
                del conditions[-count:]
                conditions.append((step[0], operands))
            case "choose":
                otherwise_value = conditions.pop()
                then_value = conditions.pop()
                conditions.append(("choose", conditions.pop(), then_value, otherwise_value))
            case "chain":
                links = step[1]
                count = 1 + sum(link[2] for link in links)
                chained = exprs[-count:]
                del exprs[-count:]
                conditions.append(_chain(chained, links))
    return statements, exprs

# --------------------------------------------------------------------------
# Positions and parser failures

_LINE_BREAK: Final = re.compile(r"\r\n|\r|\n")


def _line(source: str, lineno: int) -> str:
    lines = _LINE_BREAK.split(source)
    return lines[lineno - 1] if 0 < lineno <= len(lines) else ""


def _column(line: str, byte_offset: int) -> int:
    """The 1-based character column of a UTF-8 byte offset in `line`."""
    return len(line.encode("utf-8")[:byte_offset].decode("utf-8", "replace")) + 1


def _refusal(source: str, filename: str, refused: _Refused) -> SyntaxError:
    node = refused.node
    lineno: int = getattr(node, "lineno", 1)
    line = _line(source, lineno)
    offset = _column(line, getattr(node, "col_offset", 0))
    end_lineno: int | None = getattr(node, "end_lineno", None)
    end_col_offset: int | None = getattr(node, "end_col_offset", None)
    end_offset: int | None = None
    if end_lineno is not None and end_col_offset is not None:
        end_offset = _column(_line(source, end_lineno), end_col_offset)
    return SyntaxError(refused.message, (filename, lineno, offset, line, end_lineno, end_offset))


@overload
def _parse(source: str, filename: str, mode: Literal["exec"]) -> ast.Module: ...
@overload
def _parse(source: str, filename: str, mode: Literal["eval"]) -> ast.Expression: ...
def _parse(source: str, filename: str, mode: Literal["exec", "eval"]) -> ast.Module | ast.Expression:
    if not isinstance(source, str):
        raise TypeError(f"source must be a str, not {type(source).__name__}")
    if not isinstance(filename, str):
        raise TypeError(f"filename must be a str, not {type(filename).__name__}")
    if "\0" in filename:
        raise ValueError("filename must not contain NUL characters")
    try:
        if mode == "exec":
            return ast.parse(source, filename, mode)
        return ast.parse(source, filename, mode)
    except SyntaxError as exc:
        if exc.filename is None:  # some parser checks come without one
            exc.filename = filename
        raise
    except RecursionError:
        raise SyntaxError("text nested too deeply to parse", (filename, None, None, None)) from None
    except UnicodeEncodeError as exc:
        before = source[: exc.start]
        lineno = len(_LINE_BREAK.findall(before)) + 1
        offset = len(_LINE_BREAK.split(before)[-1]) + 1
        raise SyntaxError("text with a lone surrogate cannot be read",
                          (filename, lineno, offset, _line(source, lineno))) from None
    except ValueError as exc:  # what older parsers raise for NUL characters
        raise SyntaxError(str(exc), (filename, None, None, None)) from None


def compile_statements(source: str, filename: str = "<text>") -> list[Statement]:
    """The statements of `source`, ready for :meth:`zarn.Velk.run`.

    Raises :class:`SyntaxError` (with `filename`, line and column) for text
    that is not Python syntax, nests too deeply to parse, or uses a construct
    the language does not have; :class:`MemoryError` when the parser runs out
    of memory. A `source` or `filename` that is not a str raises
    :class:`TypeError`, a `filename` with a NUL character :class:`ValueError`.
    """
    tree = _parse(source, filename, "exec")
    try:
        steps = _plan(tree.body)
    except _Refused as refused:
        raise _refusal(source, filename, refused) from None
    del tree  # the build needs only the steps: the collector need not walk the syntax tree meanwhile
    return _build(steps)[0]


def compile_expr(source: str, filename: str = "<text>") -> Expr:
    """The expression `source`, as one :class:`zarn.Expr`.

    Fails like :func:`compile_statements`.
    """
    tree = _parse(source, filename, "eval")
    try:
        steps = _plan([tree.body])
    except _Refused as refused:
        raise _refusal(source, filename, refused) from None
    (expr,) = _build(steps)[1]
    return expr


# --------------------------------------------------------------------------
# Programs: statements with their lines, inputs and outputs


def _inputs_and_outputs(steps: list[_Step]) -> tuple[frozenset[str], frozenset[str]]:
    """The names that some path of `steps` reads before binding them, and
    the names that some path binds. After an if, a name counts as bound when
    both branches bind it.

    Linear in the steps: a branch's bindings are undone from one set rather
    than the set copied at each if. An if costs the names its two branches
    newly bound, and passes on at most the fewer of the two, so all ifs
    together cost at most twice the number of assignments."""
    inputs: set[str] = set()
    outputs: set[str] = set()
    bound: set[str] = set()
    newly: list[str] = []  # the names in bound, in the order they were bound
    starts: list[int] = []  # per open if: where its branch's names start in newly
    then_bound: list[list[str]] = []  # per if in its otherwise-list: what its then-list bound
    for step in steps:
        if step[0] == "ident":
            if step[1] not in bound:
                inputs.add(step[1])
        elif step[0] == "let" or step[0] == "let condition":
            name = step[1]
            outputs.add(name)
            if name not in bound:
                bound.add(name)
                newly.append(name)
        elif step[0] == "then":
            starts.append(len(newly))
        elif step[0] == "otherwise":
            start = starts[-1]
            then_bound.append(newly[start:])
            del newly[start:]
            bound.difference_update(then_bound[-1])
        elif step[0] == "if" or step[0] == "if condition":
            start = starts.pop()
            otherwise_bound = newly[start:]
            del newly[start:]
            bound.difference_update(otherwise_bound)
            both = set(then_bound.pop()).intersection(otherwise_bound)
            bound |= both
            newly.extend(both)
    return frozenset(inputs), frozenset(outputs)


_SHOWN_LINE_MAX: Final = 200
_NOT_SPACE: Final = re.compile(r"\S")


def _shown_line(text: str, start: int = 0, end: int | None = None) -> str:
    """The line `text[start:end]` as failure output shows it: without its
    indentation, and cut to at most 200 characters (with "..."), however
    long the line is. The one place that decides how much of a rule goes
    into a note or a diagnostic."""
    end = len(text) if end is None else end
    found = _NOT_SPACE.search(text, start, end)
    start = end if found is None else found.start()
    if end - start <= _SHOWN_LINE_MAX:
        return text[start:end].rstrip()
    return text[start:start + _SHOWN_LINE_MAX - 3] + "..."


class Program:
    """Compiled rules that remember their text: what :func:`compile_program`
    gives.

    A Program is immutable: :attr:`statements` hands out a fresh list on
    each access, and copies (:func:`copy.copy`, :func:`copy.deepcopy`) are
    the Program itself. It pickles as its source and file name, and is
    compiled again when unpickled.

        >>> program = compile_program("y = x + 1", "rules.txt")
        >>> program
        <Program 'rules.txt': 1 statement>
        >>> sorted(program.inputs), sorted(program.outputs)
        (['x'], ['y'])
    """

    __slots__ = ("_source", "_filename", "_statements", "_lines", "_inputs", "_outputs", "_line_starts", "_limits",
                 "_evaluator")
    _source: str
    _filename: str
    _statements: tuple[Statement, ...]
    _lines: _Lines
    _inputs: frozenset[str]
    _outputs: frozenset[str]
    _line_starts: list[int] | None  # where each line starts in the source: made at the first failure
    _limits: dict[str, int | None] | None  # with_limits' keywords; None: the defaults
    _evaluator: object  # what evaluate and evaluate_many run (_evaluate.new_evaluator)

    def __init__(self) -> None:
        raise TypeError("Programs are made by zarn_text.compile_program")

    @property
    def source(self) -> str:
        """The text the program was compiled from."""
        return self._source

    @property
    def filename(self) -> str:
        """The file name given to :func:`compile_program`."""
        return self._filename

    @property
    def statements(self) -> list[Statement]:
        """The statements, as :func:`compile_statements` gives them (a new
        list each time)."""
        return list(self._statements)

    @property
    def inputs(self) -> frozenset[str]:
        """The names that some path reads before the program binds them:
        what the caller must bind first. Conditions are not looked at: after
        an ``if``, a name counts as bound only when both branches bind it."""
        return self._inputs

    @property
    def outputs(self) -> frozenset[str]:
        """The names that some path binds (every assignment, in any branch)."""
        return self._outputs

    def line_of(self, place: tuple[int | str, ...]) -> int | None:
        r"""The line of the statement at `place`, the way
        ``PanicException.place`` names a failing statement: an index into the
        statements, then for each nested ``if`` ``"then"`` or ``"otherwise"``
        and an index into that list. None when `place` names no statement.

            >>> program = compile_program("if a:\n    x = 1\nelif b:\n    x = 2")
            >>> program.line_of((0, "otherwise", 0, "then", 0))
            4
        """
        entries = self._lines
        line: int | None = None
        if len(place) % 2 != 1:
            return None
        for at, item in enumerate(place):
            if at % 2 == 0:
                if type(item) is not int or not 0 <= item < len(entries):
                    return None
                line, then, otherwise = entries[item]
            elif item == "then":
                entries = then
            elif item == "otherwise":
                entries = otherwise
            else:
                return None
        return line

    def run(self, machine: Velk) -> None:
        """Runs the statements on `machine`.

        A failure raises the :class:`zarn_runtime.PanicException` of
        :meth:`zarn.Velk.run`, with a note naming the file, line and text of
        the failing statement as a Python traceback does, when the exception
        says which statement failed (its ``place``).
        """
        try:
            machine.run(self._statements)
        except PanicException as failure:
            self._note_failure(failure)
            raise

    def _note_failure(self, failure: PanicException) -> None:
        """Adds the failing statement's file, line and text to `failure`'s
        notes, when it says which statement failed."""
        place = getattr(failure, "place", None)
        line = self.line_of(place) if isinstance(place, tuple) else None
        if line is not None:
            failure.add_note(f'  File "{self._filename}", line {line}\n    {self._shown_line(line)}')

    def _shown_line(self, lineno: int) -> str:
        """The text of line `lineno` for a failure note, found without
        reading the source again after the first failure."""
        starts = self._line_starts
        if starts is None:
            source = self._source
            if "\r" in source:
                starts = [0]
                starts.extend(match.end() for match in _LINE_BREAK.finditer(source))
            else:  # the common case, at the speed of str.split
                starts = list(accumulate((len(line) + 1 for line in source.split("\n")), initial=0))[:-1]
            object.__setattr__(self, "_line_starts", starts)
        if not 0 < lineno <= len(starts):
            return ""
        end = starts[lineno] if lineno < len(starts) else len(self._source)
        while end > starts[lineno - 1] and self._source[end - 1] in "\r\n":
            end -= 1
        return _shown_line(self._source, starts[lineno - 1], end)

    def __repr__(self) -> str:
        count = len(self._statements)
        return f"<Program {self._filename!r}: {count} statement{'' if count == 1 else 's'}>"

    def __reduce__(self) -> tuple[object, tuple[object, ...]]:
        limits = getattr(self, "_limits", None)
        if limits is not None:
            return (_evaluate.restore, (self._source, self._filename, limits))
        return (compile_program, (self._source, self._filename))

    def __copy__(self) -> Program:
        return self

    def __deepcopy__(self, memo: object) -> Program:
        return self

    def __setattr__(self, name: str, value: object) -> NoReturn:
        raise AttributeError(f"Program objects are immutable: cannot set {name!r}")

    def __delattr__(self, name: str) -> NoReturn:
        raise AttributeError(f"Program objects are immutable: cannot delete {name!r}")

    # ---- a program as a function: inputs in, outputs out -----------------

    # Its documentation and signature: the method itself is native, put in its
    # place below the class (_evaluate.evaluate_method), with no Python frame per call.
    def evaluate(self, inputs: _evaluate.Inputs = None, /) -> dict[str, _Value]:
        r"""Runs the program on a fresh state with `inputs` bound first and
        returns ``{name: value}`` for each name of :attr:`outputs` that the
        run bound.

        `inputs` is any mapping, converted as :func:`zarn_runtime.bind`
        converts one (None: no inputs). Nothing of one call is seen by the
        next, and threads may evaluate one program at once. A failure raises
        the :class:`zarn_runtime.PanicException` of :meth:`run`, with the
        same notes. The limits are those a :class:`zarn.Velk` made now would
        have (:func:`zarn_runtime.set_default_limits`), unless the program
        has its own (:meth:`with_limits`).

            >>> fee = compile_program("fee = 15\nif zone == 'home':\n    fee = 5", "fee.txt")
            >>> fee.evaluate({"zone": "home"})
            {'fee': 5}
        """
        raise NotImplementedError  # never runs: replaced below the class

    def evaluate_many(self, rows: Iterable[_evaluate.Inputs], /, *,
                      errors: Literal["raise", "return"] = "raise") -> list[Any]:
        """:meth:`evaluate` of each mapping of `rows`, in one call: the list of
        their results.

        With ``errors="raise"`` the first failing row raises its
        :class:`zarn_runtime.PanicException`; with ``errors="return"`` a
        failing row has its PanicException (with the notes :meth:`run` gives
        it) in its place and the other rows go on. A row that is not a
        mapping, or does not convert, raises ``TypeError`` in both modes.

            >>> double = compile_program("y = x * 2")
            >>> double.evaluate_many([{"x": 1}, {"x": "a"}, {"x": 3}], errors="return")
            [{'y': 2}, PanicException('Binary operator for unknown type'), {'y': 6}]
        """
        if errors not in ("raise", "return"):
            raise ValueError(f"errors must be 'raise' or 'return', not {errors!r}")
        try:
            results: list[Any] = _evaluate.evaluate_many(self._evaluator, rows, errors == "return")
        except PanicException as failure:
            self._note_failure(failure)
            raise
        if errors == "return":
            for result in results:
                if type(result) is not dict:
                    self._note_failure(result)
        return results

    def with_limits(self, *, max_text: int | None = None, max_bytes: int | None = None,
                    max_steps: int | None = None) -> Program:
        """This program with limits of its own for :meth:`evaluate` and
        :meth:`evaluate_many`, whatever :func:`zarn_runtime.set_default_limits`
        says; a limit left out or None is none, as for
        :func:`zarn_runtime.set_limits` (which raises the same errors).

            >>> grow = compile_program("s = 'ab' + 'cd'").with_limits(max_text=3)
            >>> try:
            ...     grow.evaluate()
            ... except PanicException as failure:
            ...     print(failure)
            Limit exceeded: max_text=3
        """
        limits = {"max_text": max_text, "max_bytes": max_bytes, "max_steps": max_steps}
        evaluator = _evaluate.new_evaluator(self._statements, self._inputs, self._outputs, limits)
        program = object.__new__(Program)
        for name in ("_source", "_filename", "_statements", "_lines", "_inputs", "_outputs", "_line_starts"):
            object.__setattr__(program, name, getattr(self, name))
        object.__setattr__(program, "_limits", limits)
        object.__setattr__(program, "_evaluator", evaluator)
        return program


setattr(Program, "evaluate", _evaluate.evaluate_method(Program, _evaluate.docstring(Program.evaluate)))


def compile_program(source: str, filename: str = "<text>") -> Program:
    r"""The statements of `source` as a :class:`Program`, which knows their
    lines, the names they need (:attr:`Program.inputs`) and bind
    (:attr:`Program.outputs`).

    Fails like :func:`compile_statements`.

        >>> from zarn import Velk
        >>> program = compile_program("if x > 0:\n    y = x\nz = y", "rules.txt")
        >>> sorted(program.inputs)
        ['x', 'y']
        >>> machine = Velk()
        >>> machine.run(compile_statements("x = 1"))
        >>> program.run(machine)
        >>> machine.get("z")
        1
    """
    tree = _parse(source, filename, "exec")
    try:
        steps = _plan(tree.body)
    except _Refused as refused:
        raise _refusal(source, filename, refused) from None
    del tree  # as in compile_statements
    lines: list[_LineEntry] = []
    statements = _build(steps, lines)[0]
    program = object.__new__(Program)
    inputs, outputs = _inputs_and_outputs(steps)
    kept = tuple(statements)
    for name, value in [("_source", source), ("_filename", filename), ("_statements", kept),
                        ("_lines", tuple(lines)), ("_inputs", inputs), ("_outputs", outputs),
                        ("_line_starts", None), ("_evaluator", _evaluate.new_evaluator(kept, inputs, outputs, None))]:
        object.__setattr__(program, name, value)
    return program

