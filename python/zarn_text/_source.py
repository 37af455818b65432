"""Trees back to text: the Python-syntax text that compile_statements and
compile_expr turn into the same trees.

The tree is read from its bytes (zarn_runtime.dumps, whose form
velk/include/velk/tree_codec.hpp describes): distinct nodes in post-order,
children before their parents. The records are read into flat tables in
one loop, then the text is written by one walk with an explicit stack, in
time and memory linear in the expanded tree (a shared subtree is written
out wherever it is used), whatever its depth.
"""

from __future__ import annotations

import keyword
import math
import struct
import unicodedata
from typing import Final, Union

from zarn import Expr, Statement
from zarn_runtime import dumps

# Binding strength of an expression's text, weakest first. An operand
# weaker than its place needs parentheses; so does a right operand as
# strong as its left-associative operator, and any comparison inside a
# comparison (the compiler refuses chains).
_NOT, _COMPARE, _SUM, _PRODUCT, _SIGNED, _ATOM = range(6)

_OPERATORS: Final = {0: ("+", _SUM), 1: ("-", _SUM), 2: ("*", _PRODUCT), 3: ("/", _PRODUCT)}
_COMPARISONS: Final = {9: "==", 11: ">", 12: "<"}
_NEGATED: Final = {9: "!=", 11: "<=", 12: ">="}  # not_ of the comparison
_LET, _IF, _NOT_TAG, _BINARY = 13, 14, 10, 8
_INDENT: Final = "    "

# More expanded nodes than this have no text of a size worth making.
MAX_NODES: Final = 10_000_000
# Python's tokenizer reads at most this many levels of indentation.
_MAX_INDENT_LEVELS: Final = 99

# An expression record, ready to write: its binding strength, then the
# pieces of its text in order, each a str or the index of an operand with
# the strength its place needs.
_Piece = Union[str, tuple[int, int]]
_ExprRecord = tuple[int, list[_Piece]]


class _Records:
    """The records of a tree, by index: expressions, lets (name,
    expression) and ifs (condition, then-list, otherwise-list)."""

    def __init__(self) -> None:
        self.exprs: dict[int, _ExprRecord] = {}
        self.lets: dict[int, tuple[str, int]] = {}
        self.ifs: dict[int, tuple[int, list[int], list[int]]] = {}
        self.count = 0


class _Reader:
    """The happy path of the tree reader: the bytes come from dumps."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.at = 3  # after the header

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
        return (_SIGNED, "-1e999") if x < 0 else (_ATOM, "1e999")
    text = repr(x)
    return (_SIGNED if text.startswith("-") else _ATOM), text


def _records(data: bytes) -> _Records:
    reader = _Reader(data)
    records = _Records()
    comparisons: dict[int, tuple[int, int, int]] = {}  # record: tag, left, right
    records.count = reader.varint()
    for index in range(records.count):
        tag = reader.byte()
        record: _ExprRecord
        if tag <= 2:
            record = (_ATOM, [("None", "False", "True")[tag]])
        elif tag == 3:
            z = reader.varint()
            n = (z >> 1) ^ -(z & 1)
            record = (_SIGNED if n < 0 else _ATOM, [str(n)])
        elif tag == 4:
            (value,) = struct.unpack_from("<d", reader.data, reader.at)
            reader.at += 8
            strength, text = _float(value)
            record = (strength, [text])
        elif tag == 5:
            record = (_ATOM, [repr(reader.text())])
        elif tag == 6:
            raise ValueError(f"the number identifier {reader.varint()} has no text form")
        elif tag == 7:
            record = (_ATOM, [_name(reader.text())])
        elif tag == _BINARY:
            symbol, strength = _OPERATORS[reader.byte()]
            a, b = reader.varint(), reader.varint()
            record = (strength, [(a, strength), f" {symbol} ", (b, strength + 1)])
        elif tag in _COMPARISONS:
            a, b = reader.varint(), reader.varint()
            comparisons[index] = (tag, a, b)
            record = (_COMPARE, [(a, _SUM), f" {_COMPARISONS[tag]} ", (b, _SUM)])
        elif tag == _NOT_TAG:
            a = reader.varint()
            if a in comparisons:
                inner, left, right = comparisons[a]
                record = (_COMPARE, [(left, _SUM), f" {_NEGATED[inner]} ", (right, _SUM)])
            else:
                record = (_NOT, ["not ", (a, _NOT)])  # any operand reads as meant after `not`
        elif tag == _LET:
            if reader.byte() == 6:
                raise ValueError(f"the number identifier {reader.varint()} has no text form")
            name = _name(reader.text())
            records.lets[index] = (name, reader.varint())
            continue
        else:  # _IF
            cond = reader.varint()
            then = [reader.varint() for _ in range(reader.varint())]
            otherwise = [reader.varint() for _ in range(reader.varint())]
            records.ifs[index] = (cond, then, otherwise)
            continue
        records.exprs[index] = record
    return records


class _Writer:
    """Writes records as text, counting the nodes it expands."""

    def __init__(self, records: _Records) -> None:
        self.records = records
        self.nodes = 0

    def count(self) -> None:
        self.nodes += 1
        if self.nodes > MAX_NODES:
            raise ValueError(f"the tree expands to more than {MAX_NODES} nodes: no text of a manageable size")

    def expr(self, root: int) -> str:
        out: list[str] = []
        stack: list[_Piece] = [(root, _NOT)]
        while stack:
            piece = stack.pop()
            if isinstance(piece, str):
                out.append(piece)
                continue
            index, need = piece
            self.count()
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
        stack: list[Union[str, tuple[int, str, str]]] = [(i, "", "if ") for i in reversed(roots)]
        while stack:
            item = stack.pop()
            if isinstance(item, str):
                out.append(item)
                continue
            index, indent, keyword_ = item
            self.count()
            if index in self.records.lets:
                name, expr = self.records.lets[index]
                out.append(f"{indent}{name} = {self.expr(expr)}")
                continue
            cond, then, otherwise = self.records.ifs[index]
            out.append(f"{indent}{keyword_}{self.expr(cond)}:")
            if len(indent) >= _MAX_INDENT_LEVELS * len(_INDENT):
                raise ValueError(f"statements nested more than {_MAX_INDENT_LEVELS} levels deep have no text "
                                 "that Python's parser reads")
            inner = indent + _INDENT
            later: list[Union[str, tuple[int, str, str]]] = [(i, inner, "if ") for i in then] or [inner + "pass"]
            if len(otherwise) == 1 and otherwise[0] in self.records.ifs:
                later.append((otherwise[0], indent, "elif "))
            elif otherwise:
                later.append(indent + "else:")
                later += [(i, inner, "if ") for i in otherwise]
            stack.extend(reversed(later))
        return out


def to_source(tree: Union[Expr, Statement, list[Statement], tuple[Statement, ...]]) -> str:
    """Python-syntax text that :func:`compile_statements` (for statements) or
    :func:`compile_expr` (for an expression) turns back into an equivalent
    tree; the text of that tree is the same text again.

    A list or tuple of statements gives one line per statement (and per
    branch line), ending in a line break; an expression gives one line
    without. Negated comparisons print as ``!=``, ``<=`` and ``>=`` and an
    ``if`` whose otherwise-list is one ``if`` prints as ``elif``, as the
    compiler reads them. A subtree shared by several parents is written out
    wherever it is used.

    Raises :class:`ValueError` for what has no text form: a number
    identifier, a name that is not a Python identifier, a NaN literal,
    ``if`` statements nested deeper than Python's parser reads (99 levels),
    or a tree that expands to more than ``MAX_NODES`` nodes;
    :class:`TypeError` for anything but trees. Time and memory are linear in
    the expanded tree, whatever its depth.

        >>> from zarn_text import compile_statements, to_source
        >>> print(to_source(compile_statements("if not (a == b): y = (a - b) * 2")), end="")
        if a != b:
            y = (a - b) * 2
    """
    if isinstance(tree, (list, tuple)):
        return "".join(to_source(statement) for statement in tree)
    if not isinstance(tree, (Expr, Statement)):
        raise TypeError(f"to_source() takes an Expr, a Statement or a list of statements, not {type(tree).__name__}")
    records = _records(dumps(tree))
    writer = _Writer(records)
    root = records.count - 1
    if root not in records.exprs:
        return "".join(line + "\n" for line in writer.lines([root]))
    return writer.expr(root)
