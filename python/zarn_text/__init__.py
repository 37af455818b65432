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
from collections.abc import Iterable
from typing import Any, Final, Literal, NoReturn, Union

from zarn import Expr, Statement, Velk
from zarn_runtime import PanicException

from . import _evaluate

__all__ = ["compile_statements", "compile_expr", "compile_program", "Program", "to_source"]

_I64_MIN: Final = -(2**63)
_I64_MAX: Final = 2**63 - 1

# --------------------------------------------------------------------------
# What is refused, and how it is named in the message.

_REFUSED_NAMES: Final = {
    # statements
    "Expr": "expression statements are",
    "AugAssign": "augmented assignments are",
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
    "BoolOp": "boolean operators are",  # refined by the operator below
    "NamedExpr": "assignment expressions (:=) are",
    "Lambda": "lambda expressions are",
    "IfExp": "conditional expressions are",
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

_LITERAL: Final = 0  # arg: the Python value
_IDENT: Final = 1  # arg: the name
_BINARY: Final = 2  # arg: the operator text; pops b, a
_COMPARE: Final = 3  # arg: the builder; pops b, a
_NOT: Final = 4  # pops the operand
_NOT_COMPARE: Final = 5  # arg: the builder; pops b, a; not_ of the comparison
_LET: Final = 6  # arg: the name; pops the expression
_MARK: Final = 7  # a branch list starts here
_IF: Final = 8  # pops the otherwise-list, the then-list and the condition
# Planned with lines (compile_program only), each _LET, _MARK and _IF step is
# followed by one that keeps the lines, in a list beside the stack.
_LET_LINE: Final = 9  # arg: the line of the let
_LINE_MARK: Final = 10  # arg: "then" or "otherwise"; a list of lines starts here
_IF_LINES: Final = 11  # arg: the line of the if; pops its two lists of lines

_BINARY_OPERATORS: Final = {ast.Add: "+", ast.Sub: "-", ast.Mult: "*", ast.Div: "/"}
_COMPARISONS: Final = {
    ast.Eq: (_COMPARE, Expr.equals),
    ast.Lt: (_COMPARE, Expr.less_than),
    ast.Gt: (_COMPARE, Expr.greater_than),
    ast.NotEq: (_NOT_COMPARE, Expr.equals),
    ast.LtE: (_NOT_COMPARE, Expr.greater_than),
    ast.GtE: (_NOT_COMPARE, Expr.less_than),
}
_MARK_STEP: Final = (_MARK, None)
_THEN_LINES_STEP: Final = (_LINE_MARK, "then")
_OTHERWISE_LINES_STEP: Final = (_LINE_MARK, "otherwise")

_Step = tuple[int, object]
_Work = Union[ast.AST, _Step]
# The lines of a statement list, one entry per statement: its line, and the
# lines of its then-list and of its otherwise-list (both empty for a let).
_Lines = tuple["_LineEntry", ...]
_LineEntry = tuple[int, _Lines, _Lines]


class _Refused(Exception):
    def __init__(self, node: ast.AST, message: str) -> None:
        super().__init__(message)
        self.node = node
        self.message = message


def _refuse(node: ast.AST) -> _Refused:
    kind = type(node)
    if kind is ast.Expr:
        # A bare call is the likely mistake: name it, not the statement.
        assert isinstance(node, ast.Expr)
        if type(node.value) in _REFUSED or type(node.value) is ast.BoolOp:
            return _refuse(node.value)
    if kind is ast.BoolOp:
        assert isinstance(node, ast.BoolOp)
        return _Refused(node, f"the operator '{_OPERATOR_NAMES[type(node.op)]}' is not part of the language")
    message = _REFUSED.get(kind)
    if message is None:
        message = f"{kind.__name__} nodes are not part of the language"
    return _Refused(node, message)


def _constant(node: ast.AST, value: object) -> _Step:
    kind = type(value)
    if kind is int:
        assert isinstance(value, int)
        if not _I64_MIN <= value <= _I64_MAX:
            # Outside 64 bits the builder takes the nearest double, as
            # Expr.literal does with the same int; beyond that it refuses.
            try:
                float(value)
            except OverflowError:
                raise _Refused(node, "integer constants beyond the range of a float are "
                                     "not part of the language") from None
        return (_LITERAL, value)
    if kind is str:
        assert isinstance(value, str)
        if not value.isascii():
            try:
                value.encode("utf-8")
            except UnicodeEncodeError:
                raise _Refused(node, "strings with lone surrogates are not part of the language") from None
        return (_LITERAL, value)
    if value is None or kind is bool or kind is float:
        return (_LITERAL, value)
    what = {bytes: "bytes constants are", complex: "complex numbers are"}.get(kind, "the constant ... is")
    raise _Refused(node, f"{what} not part of the language")


def _plan(roots: list[ast.AST], lines: bool = False) -> list[_Step]:
    """The build steps of `roots` (statements, or one expression), in order;
    with `lines`, also the steps that keep the line of each statement."""
    steps: list[_Step] = []
    emit = steps.append
    work: list[_Work] = list(reversed(roots))
    push = work.append
    pop = work.pop
    Constant, Name, BinOp, Compare, UnaryOp = ast.Constant, ast.Name, ast.BinOp, ast.Compare, ast.UnaryOp
    Assign, If, Pass, Not, USub = ast.Assign, ast.If, ast.Pass, ast.Not, ast.USub
    while work:
        node = pop()
        kind = type(node)
        if kind is tuple:
            emit(node)  # type: ignore[arg-type]
        elif kind is Name:
            emit((_IDENT, node.id))  # type: ignore[union-attr]
        elif kind is Constant:
            emit(_constant(node, node.value))  # type: ignore[arg-type, union-attr]
        elif kind is BinOp:
            assert isinstance(node, ast.BinOp)
            op = _BINARY_OPERATORS.get(type(node.op))
            if op is None:
                raise _Refused(node, f"the operator '{_OPERATOR_NAMES[type(node.op)]}' is not part of the language")
            push((_BINARY, op))
            push(node.right)
            push(node.left)
        elif kind is Compare:
            assert isinstance(node, ast.Compare)
            if len(node.ops) > 1:
                raise _Refused(node, "chained comparisons are not part of the language")
            found = _COMPARISONS.get(type(node.ops[0]))
            if found is None:
                raise _Refused(node, f"the operator '{_OPERATOR_NAMES[type(node.ops[0])]}' is not part of the language")
            push(found)
            push(node.comparators[0])
            push(node.left)
        elif kind is UnaryOp:
            assert isinstance(node, ast.UnaryOp)
            op_kind = type(node.op)
            if op_kind is Not:
                push((_NOT, None))
                push(node.operand)
            elif op_kind is USub:
                operand = node.operand
                value = operand.value if isinstance(operand, Constant) else None
                if type(value) is not int and type(value) is not float:
                    raise _Refused(node, "unary minus on anything but a number constant is not part of the language")
                assert isinstance(value, (int, float))
                emit(_constant(node, -value))
            else:
                raise _Refused(node, f"the operator '{_OPERATOR_NAMES[op_kind]}' is not part of the language")
        elif kind is Assign:
            assert isinstance(node, ast.Assign)
            targets = node.targets
            if len(targets) > 1:
                raise _Refused(targets[1], "chained assignments are not part of the language")
            target = targets[0]
            if type(target) is not Name:
                if type(target) in (ast.Tuple, ast.List):
                    raise _Refused(target, "unpacking assignments are not part of the language")
                raise _refuse(target)
            assert isinstance(target, Name)
            if lines:
                push((_LET_LINE, node.lineno))
            push((_LET, target.id))
            push(node.value)
        elif kind is If:
            assert isinstance(node, ast.If)
            if lines:
                push((_IF_LINES, node.lineno))
            push((_IF, None))
            work.extend(reversed(node.orelse))
            if lines:
                push(_OTHERWISE_LINES_STEP)
            push(_MARK_STEP)
            work.extend(reversed(node.body))
            if lines:
                push(_THEN_LINES_STEP)
            push(_MARK_STEP)
            push(node.test)
        elif kind is Pass:
            pass
        else:
            raise _refuse(node)  # type: ignore[arg-type]
    return steps


def _build(steps: list[_Step], lines: list[_LineEntry] | None = None) -> list[Statement | Expr]:
    """The trees of `steps`; for steps planned with lines, `lines` receives
    the line entry of each statement."""
    literal, ident, binary_op, not_ = Expr.literal, Expr.ident, Expr.binary_op, Expr.not_
    let, if_ = Statement.let, Statement.if_
    stack: list[Statement | Expr] = []
    push, pop = stack.append, stack.pop
    marks: list[int] = []
    line_marks: list[int] = []
    for step, arg in steps:
        if step == _IDENT:
            push(ident(arg))  # type: ignore[arg-type]
        elif step == _LITERAL:
            push(literal(arg))  # type: ignore[arg-type]
        elif step == _BINARY:
            b = pop()
            push(binary_op(pop(), arg, b))  # type: ignore[arg-type]
        elif step == _COMPARE:
            b = pop()
            push(arg(pop(), b))  # type: ignore[operator]
        elif step == _LET:
            push(let(arg, pop()))  # type: ignore[arg-type]
        elif step == _MARK:
            marks.append(len(stack))
        elif step == _IF:
            otherwise_at = marks.pop()
            then_at = marks.pop()
            statement = if_(stack[then_at - 1], stack[then_at:otherwise_at], stack[otherwise_at:])  # type: ignore[arg-type]
            del stack[then_at - 1:]
            push(statement)
        elif step == _NOT:
            push(not_(pop()))  # type: ignore[arg-type]
        elif step == _NOT_COMPARE:
            b = pop()
            push(not_(arg(pop(), b)))  # type: ignore[operator]
        else:
            assert lines is not None
            if step == _LET_LINE:
                lines.append((arg, (), ()))  # type: ignore[arg-type]
            elif step == _LINE_MARK:
                line_marks.append(len(lines))
            else:  # _IF_LINES
                otherwise_at = line_marks.pop()
                then_at = line_marks.pop()
                entry = (arg, tuple(lines[then_at:otherwise_at]), tuple(lines[otherwise_at:]))
                del lines[then_at:]
                lines.append(entry)  # type: ignore[arg-type]
    return stack


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
    end_offset: int | None = None
    if end_lineno is not None and getattr(node, "end_col_offset", None) is not None:
        end_offset = _column(_line(source, end_lineno), node.end_col_offset)  # type: ignore[attr-defined]
    return SyntaxError(refused.message, (filename, lineno, offset, line, end_lineno, end_offset))


def _parse(source: str, filename: str, mode: str) -> ast.AST:
    if not isinstance(source, str):
        raise TypeError(f"source must be a str, not {type(source).__name__}")
    if not isinstance(filename, str):
        raise TypeError(f"filename must be a str, not {type(filename).__name__}")
    if "\0" in filename:
        raise ValueError("filename must not contain NUL characters")
    try:
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
        steps = _plan(tree.body)  # type: ignore[attr-defined]
    except _Refused as refused:
        raise _refusal(source, filename, refused) from None
    return _build(steps)  # type: ignore[return-value]


def compile_expr(source: str, filename: str = "<text>") -> Expr:
    """The expression `source`, as one :class:`zarn.Expr`.

    Fails like :func:`compile_statements`.
    """
    tree = _parse(source, filename, "eval")
    try:
        steps = _plan([tree.body])  # type: ignore[attr-defined]
    except _Refused as refused:
        raise _refusal(source, filename, refused) from None
    (expr,) = _build(steps)
    return expr  # type: ignore[return-value]


# --------------------------------------------------------------------------
# Programs: statements with their lines, inputs and outputs


def _inputs_and_outputs(steps: list[_Step]) -> tuple[frozenset[str], frozenset[str]]:
    """The names that some path of `steps` (planned with lines) reads before
    binding them, and the names that some path binds. After an if, a name
    counts as bound when both branches bind it."""
    inputs: set[str] = set()
    outputs: set[str] = set()
    bound: set[str] = set()
    saved: list[set[str]] = []  # per open if: bound before it, then after its then-list
    for step, arg in steps:
        if step == _IDENT:
            if arg not in bound:
                inputs.add(arg)  # type: ignore[arg-type]
        elif step == _LET:
            bound.add(arg)  # type: ignore[arg-type]
            outputs.add(arg)  # type: ignore[arg-type]
        elif step == _LINE_MARK:
            if arg == "then":
                saved.append(set(bound))
            else:
                bound, saved[-1] = saved[-1], bound
        elif step == _IF_LINES:
            bound &= saved.pop()
    return frozenset(inputs), frozenset(outputs)


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

    __slots__ = ("_source", "_filename", "_statements", "_lines", "_inputs", "_outputs", "_limits", "_evaluator")
    _source: str
    _filename: str
    _statements: tuple[Statement, ...]
    _lines: _Lines
    _inputs: frozenset[str]
    _outputs: frozenset[str]
    _limits: dict[str, int | None] | None  # with_limits' keywords; None: the defaults
    _evaluator: object  # made on the first evaluate (_evaluate.evaluator_of)

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
            failure.add_note(f'  File "{self._filename}", line {line}\n    {_line(self._source, line).strip()}')

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

    def evaluate(self, inputs: _evaluate.Inputs = None, /) -> dict[str, _evaluate.Value]:
        r"""Runs the program on a fresh state with `inputs` bound first and
        returns ``{name: value}`` for each name of :attr:`outputs` that the
        run bound.

        `inputs` is any mapping, converted as :func:`zarn_runtime.bind`
        converts one (None: no inputs). Nothing of one call is seen by the
        next, and threads may evaluate one program at once. A failure raises
        the :class:`zarn_runtime.PanicException` of :meth:`run`, with the same
        notes. The limits are those a :class:`zarn.Velk` made now would have
        (:func:`zarn_runtime.set_default_limits`), unless the program has its
        own (:meth:`with_limits`).

            >>> fee = compile_program("fee = 15\nif zone == 'home':\n    fee = 5", "fee.txt")
            >>> fee.evaluate({"zone": "home"})
            {'fee': 5}
        """
        try:
            evaluator = self._evaluator
        except AttributeError:
            evaluator = _evaluate.evaluator_of(self)
        try:
            result: dict[str, _evaluate.Value] = _evaluate.evaluate(evaluator, inputs)
        except PanicException as failure:
            self._note_failure(failure)
            raise
        return result

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
            evaluator = self._evaluator
        except AttributeError:
            evaluator = _evaluate.evaluator_of(self)
        try:
            results: list[Any] = _evaluate.evaluate_many(evaluator, rows, errors == "return")
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
        for name in ("_source", "_filename", "_statements", "_lines", "_inputs", "_outputs"):
            object.__setattr__(program, name, getattr(self, name))
        object.__setattr__(program, "_limits", limits)
        object.__setattr__(program, "_evaluator", evaluator)
        return program


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
    body: list[ast.stmt] = tree.body  # type: ignore[attr-defined]
    try:
        steps = _plan(body, lines=True)  # type: ignore[arg-type]
    except _Refused as refused:
        raise _refusal(source, filename, refused) from None
    lines: list[_LineEntry] = []
    statements = _build(steps, lines)
    program = object.__new__(Program)
    inputs, outputs = _inputs_and_outputs(steps)
    for name, value in [("_source", source), ("_filename", filename), ("_statements", tuple(statements)),
                        ("_lines", tuple(lines)), ("_inputs", inputs), ("_outputs", outputs)]:
        object.__setattr__(program, name, value)
    return program


from ._source import to_source  # noqa: E402  (it reads the compiler's own trees)
