"""Trees back to text: the Python-syntax text that compile_statements and
compile_expr turn into the same trees.

The tree is read from its bytes (zarn_runtime.dumps, whose form
velk/src/tree_codec.hpp describes): distinct nodes in post-order,
children before their parents. The record tags, the operator bytes and the
version come from the codec itself (zarn_runtime exports them), checked when
this module is imported. One loop reads the records into flat tables and
measures each node's text on the shared tree: the nodes and characters it
expands to, and how deeply it nests. A tree past a limit is refused before
anything is written, so a call takes time linear in its records plus the
text it returns, whatever the tree's shape; then one walk with an explicit
stack writes the text.
"""

from __future__ import annotations

import keyword
import math
import struct
import unicodedata
from typing import Final

from zarn import Expr, Statement
from zarn_runtime import _TREE_FORMAT, dumps

# The limits of one call (the to_source docstring and docs/source_text.rst
# give these numbers). More expanded nodes or characters have no text of a
# size worth making.
_MAX_NODES: Final = 10_000_000
_MAX_LENGTH: Final = 100_000_000
# Python's parser (3.12 and later) reads 100 levels of indentation, 200 of
# parentheses, expressions some 3,000 syntax nodes deep, and refuses what
# fills its stack of 6,000 rule calls first: a parenthesised comparison
# takes some 31 of them, an indented block 6, any other node 1 or 2. Within
# these limits, together, every text reads back, with room to spare.
_MAX_INDENT_LEVELS: Final = 99
_MAX_PARENTHESES: Final = 100
_MAX_NESTING: Final = 1000

# The form of the bytes that this reader was written for.
_READS_VERSION: Final = 1
_MAGIC, _VERSION, _TAG_PAIRS, _OPERATOR_PAIRS = _TREE_FORMAT
_TAGS: Final[dict[str, int]] = dict(_TAG_PAIRS)
_TAG_NAMES: Final = ("null", "false", "true", "int", "float", "text", "number_name", "text_name",
                     "binary", "equals", "not", "greater_than", "less_than", "let", "if")
if _VERSION != _READS_VERSION or sorted(_TAGS) != sorted(_TAG_NAMES) or \
        sorted(symbol for symbol, _ in _OPERATOR_PAIRS) != ["*", "+", "-", "/"]:
    raise ImportError(f"zarn_text reads tree data of version {_READS_VERSION}; this zarn writes version "
                      f"{_VERSION} with tags {sorted(_TAGS)}: the two do not belong together")
(_NULL, _FALSE, _TRUE, _INT, _FLOAT, _TEXT, _NUMBER_NAME, _TEXT_NAME,
 _BINARY, _EQUALS, _NOT, _GREATER, _LESS, _LET, _IF) = (_TAGS[name] for name in _TAG_NAMES)
_HEADER: Final = bytes(_MAGIC) + bytes([_VERSION])

# Binding strength of an expression's text, weakest first. An operand
# weaker than its place needs parentheses; so does a right operand as
# strong as its left-associative operator, and any comparison inside a
# comparison (the compiler refuses chains).
_NOT_STRENGTH, _COMPARE_STRENGTH, _SUM_STRENGTH, _PRODUCT_STRENGTH, _SIGNED_STRENGTH, _ATOM_STRENGTH = range(6)

_OPERATORS: Final = {byte: (symbol, _SUM_STRENGTH if symbol in "+-" else _PRODUCT_STRENGTH)
                     for symbol, byte in _OPERATOR_PAIRS}
_CONSTANTS: Final = {_NULL: "None", _FALSE: "False", _TRUE: "True"}
_COMPARISONS: Final = {_EQUALS: "==", _GREATER: ">", _LESS: "<"}
_NEGATED: Final = {_EQUALS: "!=", _GREATER: "<=", _LESS: ">="}  # not_ of the comparison
_INDENT: Final = "    "
# The longest keyword that opens an if line ("elif "), and the lines that
# stand for an empty then-list and open an otherwise-list.
_IF_KEYWORD_LENGTH: Final = 5
_PASS_LINE_LENGTH: Final = len(_INDENT + "pass\n")
_ELSE_LINE_LENGTH: Final = len("else:\n")

# An expression record, ready to write: its binding strength, then the
# pieces of its text in order, each a str or the index of an operand with
# the strength its place needs.
type _Piece = str | tuple[int, int]
type _ExprRecord = tuple[int, list[_Piece]]


class _Records:
    """The records of a tree, by index: expressions, lets (name,
    expression) and ifs (condition, then-list, otherwise-list); and for each
    record the measures of its text, which saturate just past the limits:
    the nodes it expands to, its characters (for a statement, an upper
    bound at no indentation), its lines (statements), its syntax nesting,
    its parentheses nesting and its indentation levels (statements)."""

    def __init__(self, count: int) -> None:
        self.exprs: dict[int, _ExprRecord] = {}
        self.lets: dict[int, tuple[str, int]] = {}
        self.ifs: dict[int, tuple[int, list[int], list[int]]] = {}
        self.count = count
        self.nodes = [0] * count
        self.length = [0] * count
        self.lines = [0] * count
        self.nesting = [0] * count
        self.parens = [0] * count
        self.indent = [0] * count


class _Reader:
    """The happy path of the tree reader: the bytes come from dumps."""

    def __init__(self, data: bytes) -> None:
        if data[:len(_HEADER)] != _HEADER:
            raise ValueError(f"tree data with the header {data[:len(_HEADER)]!r}, not {_HEADER!r}")
        self.data = data
        self.at = len(_HEADER)

    def byte(self) -> int:
        b = self.data[self.at]
        self.at += 1
        return b

    def varint(self) -> int:
        value = shift = 0
        while True:
            b = self.byte()
            value |= (b & 0x7F) << shift
            shift += 7
            if b < 0x80:
                return value

    def text(self) -> str:
        size = self.varint()
        start, self.at = self.at, self.at + size
        return self.data[start:self.at].decode("utf-8")


def _name(text: str) -> str:
    if text.isidentifier() and not keyword.iskeyword(text) and unicodedata.normalize("NFKC", text) == text:
        return text
    raise ValueError(f"the variable name {text!r} has no text form (not a Python identifier)")


def _float(x: float) -> tuple[int, str]:
    if math.isnan(x):
        raise ValueError("a NaN literal has no text form")
    if math.isinf(x):
        return (_SIGNED_STRENGTH, "-1e999") if x < 0 else (_ATOM_STRENGTH, "1e999")
    text = repr(x)
    return (_SIGNED_STRENGTH if text.startswith("-") else _ATOM_STRENGTH), text


def _records(data: bytes) -> _Records:
    reader = _Reader(data)
    records = _Records(reader.varint())
    comparisons: dict[int, tuple[int, int, int]] = {}  # record: tag, left, right
    for index in range(records.count):
        tag = reader.byte()
        record: _ExprRecord
        children: tuple[int, ...] = ()
        if tag in _CONSTANTS:
            record = (_ATOM_STRENGTH, [_CONSTANTS[tag]])
        elif tag == _INT:
            z = reader.varint()
            n = (z >> 1) ^ -(z & 1)
            record = (_SIGNED_STRENGTH if n < 0 else _ATOM_STRENGTH, [str(n)])
        elif tag == _FLOAT:
            (value,) = struct.unpack_from("<d", reader.data, reader.at)
            reader.at += 8
            strength, text = _float(value)
            record = (strength, [text])
        elif tag == _TEXT:
            record = (_ATOM_STRENGTH, [repr(reader.text())])
        elif tag == _NUMBER_NAME:
            raise ValueError(f"the number identifier {reader.varint()} has no text form")
        elif tag == _TEXT_NAME:
            record = (_ATOM_STRENGTH, [_name(reader.text())])
        elif tag == _BINARY:
            symbol, strength = _OPERATORS[reader.byte()]
            a, b = children = reader.varint(), reader.varint()
            record = (strength, [(a, strength), f" {symbol} ", (b, strength + 1)])
        elif tag in _COMPARISONS:
            a, b = children = reader.varint(), reader.varint()
            comparisons[index] = (tag, a, b)
            record = (_COMPARE_STRENGTH, [(a, _SUM_STRENGTH), f" {_COMPARISONS[tag]} ", (b, _SUM_STRENGTH)])
        elif tag == _NOT:
            a = reader.varint()
            children = (a,)
            if a in comparisons:
                inner, left, right = comparisons[a]
                record = (_COMPARE_STRENGTH,
                          [(left, _SUM_STRENGTH), f" {_NEGATED[inner]} ", (right, _SUM_STRENGTH)])
            else:
                record = (_NOT_STRENGTH, ["not ", (a, _NOT_STRENGTH)])  # any operand reads as meant after `not`
        elif tag == _LET:
            if reader.byte() == _NUMBER_NAME:
                raise ValueError(f"the number identifier {reader.varint()} has no text form")
            name = _name(reader.text())
            records.lets[index] = (name, reader.varint())
            _measure_let(records, index)
            continue
        else:  # _IF
            cond = reader.varint()
            then = [reader.varint() for _ in range(reader.varint())]
            otherwise = [reader.varint() for _ in range(reader.varint())]
            records.ifs[index] = (cond, then, otherwise)
            _measure_if(records, index)
            continue
        records.exprs[index] = record
        _measure_expr(records, index, children)
    return records


# Each measure saturates here: past it the call is refused whatever the rest.
_NODES_CAP: Final = _MAX_NODES + 1
_LENGTH_CAP: Final = _MAX_LENGTH + 1


def _measure_expr(records: _Records, index: int, children: tuple[int, ...]) -> None:
    strength, pieces = records.exprs[index]
    if not children:  # a leaf: one piece of text
        records.nodes[index] = 1
        records.length[index] = min(len(pieces[0]), _LENGTH_CAP)
        records.nesting[index] = 2 if strength == _SIGNED_STRENGTH else 1  # -1 is -(1)
        return
    all_nodes, all_length, all_nesting, all_parens, exprs = (
        records.nodes, records.length, records.nesting, records.parens, records.exprs)
    nodes = 1  # the tree's children, a negated comparison's included
    for child in children:
        nodes += all_nodes[child]
    length = nesting = parens = 0
    for piece in pieces:
        if isinstance(piece, str):
            length += len(piece)
            continue
        operand, need = piece
        wrapped = exprs[operand][0] < need
        length += all_length[operand] + 2 * wrapped
        if all_nesting[operand] > nesting:
            nesting = all_nesting[operand]
        if all_parens[operand] + wrapped > parens:
            parens = all_parens[operand] + wrapped
    all_nodes[index] = nodes if nodes < _NODES_CAP else _NODES_CAP
    all_length[index] = length if length < _LENGTH_CAP else _LENGTH_CAP
    all_nesting[index] = nesting + 1
    all_parens[index] = parens


def _measure_let(records: _Records, index: int) -> None:
    name, expr = records.lets[index]
    records.nodes[index] = min(1 + records.nodes[expr], _NODES_CAP)
    records.length[index] = min(len(name) + len(" = ") + records.length[expr] + 1, _LENGTH_CAP)
    records.lines[index] = 1
    records.nesting[index] = 1 + records.nesting[expr]
    records.parens[index] = records.parens[expr]


def _measure_if(records: _Records, index: int) -> None:
    cond, then, otherwise = records.ifs[index]
    elif_ = len(otherwise) == 1 and otherwise[0] in records.ifs
    indented = then + ([] if elif_ else otherwise)  # one level deeper than the if
    nodes = 1 + records.nodes[cond] + sum(records.nodes[s] for s in then + otherwise)
    length = _IF_KEYWORD_LENGTH + records.length[cond] + len(":\n")
    # A statement indented d levels has its length at none plus d indents a line.
    length += sum(records.length[s] + len(_INDENT) * records.lines[s] for s in indented)
    lines = 1 + sum(records.lines[s] for s in indented)
    if not then:
        length += _PASS_LINE_LENGTH
        lines += 1
    if elif_:
        length += records.length[otherwise[0]]
        lines += records.lines[otherwise[0]]
    elif otherwise:
        length += _ELSE_LINE_LENGTH
        lines += 1
    records.nodes[index] = min(nodes, _NODES_CAP)
    records.length[index] = min(length, _LENGTH_CAP)
    records.lines[index] = min(lines, _LENGTH_CAP)
    records.nesting[index] = 1 + max(records.nesting[s] for s in [cond, *then, *otherwise])
    records.parens[index] = max(records.parens[s] for s in [cond, *then, *otherwise])
    records.indent[index] = max(1 + max((records.indent[s] for s in indented), default=0),
                                records.indent[otherwise[0]] if elif_ else 0)


def _check_limits(records: _Records, roots: list[int]) -> None:
    """Refuses the text of `roots` (written one after the other, without
    indentation) when it is past a limit."""
    if sum(records.nodes[r] for r in roots) > _MAX_NODES:
        raise ValueError(f"the tree expands to more than {_MAX_NODES} nodes: no text of a manageable size")
    if sum(records.length[r] for r in roots) > _MAX_LENGTH:
        raise ValueError(f"the tree's text would be longer than {_MAX_LENGTH} characters: "
                         "no text of a manageable size")
    if max(records.indent[r] for r in roots) > _MAX_INDENT_LEVELS:
        raise ValueError(f"statements nested more than {_MAX_INDENT_LEVELS} levels deep have no text "
                         "that Python's parser reads")
    if max(records.parens[r] for r in roots) > _MAX_PARENTHESES:
        raise ValueError(f"the text would nest parentheses more than {_MAX_PARENTHESES} levels deep, "
                         "past the nesting limit within which Python's parser reads it back")
    if max(records.nesting[r] for r in roots) > _MAX_NESTING:
        raise ValueError(f"the tree nests more than {_MAX_NESTING} levels deep (expressions and ifs, "
                         "each elif included), past the nesting limit within which Python's parser "
                         "reads its text back")


class _Writer:
    """Writes records as text."""

    def __init__(self, records: _Records) -> None:
        self.records = records

    def expr(self, root: int) -> str:
        out: list[str] = []
        stack: list[_Piece] = [(root, _NOT_STRENGTH)]
        while stack:
            piece = stack.pop()
            if isinstance(piece, str):
                out.append(piece)
                continue
            index, need = piece
            strength, pieces = self.records.exprs[index]
            if strength < need:
                stack.append(")")
                stack.extend(reversed(pieces))
                stack.append("(")
            else:
                stack.extend(reversed(pieces))
        return "".join(out)

    def lines(self, roots: list[int]) -> list[str]:
        out: list[str] = []
        # A statement with its indentation and "if " or "elif ", or a line.
        stack: list[str | tuple[int, str, str]] = [(i, "", "if ") for i in reversed(roots)]
        while stack:
            item = stack.pop()
            if isinstance(item, str):
                out.append(item)
                continue
            index, indent, keyword_ = item
            if index in self.records.lets:
                name, expr = self.records.lets[index]
                out.append(f"{indent}{name} = {self.expr(expr)}")
                continue
            cond, then, otherwise = self.records.ifs[index]
            out.append(f"{indent}{keyword_}{self.expr(cond)}:")
            inner = indent + _INDENT
            later: list[str | tuple[int, str, str]] = [(i, inner, "if ") for i in then] or [inner + "pass"]
            if len(otherwise) == 1 and otherwise[0] in self.records.ifs:
                later.append((otherwise[0], indent, "elif "))
            elif otherwise:
                later.append(indent + "else:")
                later += [(i, inner, "if ") for i in otherwise]
            stack.extend(reversed(later))
        return out


def to_source(tree: Expr | Statement | list[Statement] | tuple[Statement, ...]) -> str:
    """Python-syntax text that :func:`compile_statements` (for statements) or
    :func:`compile_expr` (for an expression) turns back into an equivalent
    tree; the text of that tree is the same text again.

    A list or tuple of statements gives one line per statement (and per
    branch line), ending in a line break; an expression gives one line
    without. Negated comparisons print as ``!=``, ``<=`` and ``>=`` and an
    ``if`` whose otherwise-list is one ``if`` prints as ``elif``, as the
    compiler reads them. A subtree shared by several parents is written out
    wherever it is used.

    Text that Python's parser would not read back is never returned.
    Raises :class:`ValueError` for what has no text form: a number
    identifier, a name that is not a Python identifier, a NaN literal; and,
    before writing anything, for a tree (or list, counted whole) that
    expands to more than 10,000,000 nodes or to text longer than
    100,000,000 characters, ``if`` statements nested more than 99 levels
    deep, parentheses nested more than 100 levels deep, or a tree that
    nests more than 1,000 levels deep (expressions and ``if`` statements
    counted together, each ``elif`` included). :class:`TypeError` for
    anything but trees. Time and memory are linear in the distinct nodes
    of the tree plus the text returned, whatever its depth or sharing.

        >>> from zarn_text import compile_statements, to_source
        >>> print(to_source(compile_statements("if not (a == b): y = (a - b) * 2")), end="")
        if a != b:
            y = (a - b) * 2
    """
    if isinstance(tree, (list, tuple)):
        for statement in tree:
            if not isinstance(statement, Statement):
                raise TypeError(f"to_source() takes a list of statements, not one holding {type(statement).__name__}")
        if not tree:
            return ""
        # One if holds them all, so that what they share is measured once.
        records = _records(dumps(Statement.if_(Expr.literal(True), tree, [])))
        roots = records.ifs[records.count - 1][1]
    elif isinstance(tree, (Expr, Statement)):
        records = _records(dumps(tree))
        roots = [records.count - 1]
    else:
        raise TypeError(f"to_source() takes an Expr, a Statement or a list of statements, not {type(tree).__name__}")
    _check_limits(records, roots)
    if roots[0] in records.exprs:
        return _Writer(records).expr(roots[0])
    return "".join(line + "\n" for line in _Writer(records).lines(roots))
