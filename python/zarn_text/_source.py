"""Trees back to text: the Python-syntax text that compile_statements and
compile_expr turn into the same trees.

The tree is read from its bytes (zarn_runtime.dumps, whose form
velk/include/velk/tree_codec.hpp describes): distinct nodes in post-order,
children before their parents. So each node's text is made from texts
already made, in one loop and without recursion, and a shared subtree's
text is made once (though written out wherever it is used).
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

_Expr = tuple[str, int]  # text, binding strength
_Lines = list[str]


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


def _float(x: float) -> _Expr:
    if math.isnan(x):
        raise ValueError("a NaN literal has no text form")
    if math.isinf(x):
        return ("-1e999", _SIGNED) if x < 0 else ("1e999", _ATOM)
    text = repr(x)
    return text, _SIGNED if text.startswith("-") else _ATOM


def _wrap(operand: _Expr, strength: int) -> str:
    text, own = operand
    return text if own >= strength else f"({text})"


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
    identifier, a name that is not a Python identifier, a NaN literal, or a
    tree that expands to more than ``MAX_NODES`` nodes; :class:`TypeError`
    for anything but trees.

        >>> from zarn_text import compile_statements, to_source
        >>> print(to_source(compile_statements("if not (a == b): y = (a - b) * 2")), end="")
        if a != b:
            y = (a - b) * 2
    """
    if isinstance(tree, (list, tuple)):
        return "".join(to_source(statement) for statement in tree)
    if not isinstance(tree, (Expr, Statement)):
        raise TypeError(f"to_source() takes an Expr, a Statement or a list of statements, not {type(tree).__name__}")
    reader = _Reader(dumps(tree))
    # Per record: an expression's text, or a statement's lines.
    exprs: dict[int, _Expr] = {}
    blocks: dict[int, _Lines] = {}
    # For `!=`, `<=` and `>=`: a comparison record's tag and operands.
    comparisons: dict[int, tuple[int, _Expr, _Expr]] = {}
    ifs: set[int] = set()  # records of `if` statements, for `elif`
    sizes: list[int] = []  # expanded nodes per record
    count = reader.varint()
    for index in range(count):
        tag = reader.byte()
        size = 1
        if tag <= 2:
            exprs[index] = (("None", "False", "True")[tag], _ATOM)
        elif tag == 3:
            z = reader.varint()
            n = (z >> 1) ^ -(z & 1)
            exprs[index] = (str(n), _SIGNED if n < 0 else _ATOM)
        elif tag == 4:
            (value,) = struct.unpack_from("<d", reader.data, reader.at)
            reader.at += 8
            exprs[index] = _float(value)
        elif tag == 5:
            exprs[index] = (repr(reader.text()), _ATOM)
        elif tag == 6:
            raise ValueError(f"the number identifier {reader.varint()} has no text form")
        elif tag == 7:
            exprs[index] = (_name(reader.text()), _ATOM)
        elif tag == _BINARY:
            symbol, strength = _OPERATORS[reader.byte()]
            a, b = reader.varint(), reader.varint()
            size += sizes[a] + sizes[b]
            exprs[index] = (f"{_wrap(exprs[a], strength)} {symbol} {_wrap(exprs[b], strength + 1)}", strength)
        elif tag in _COMPARISONS:
            a, b = reader.varint(), reader.varint()
            size += sizes[a] + sizes[b]
            comparisons[index] = (tag, exprs[a], exprs[b])
            exprs[index] = (f"{_wrap(exprs[a], _SUM)} {_COMPARISONS[tag]} {_wrap(exprs[b], _SUM)}", _COMPARE)
        elif tag == _NOT_TAG:
            a = reader.varint()
            size += sizes[a]
            if a in comparisons:
                inner, left, right = comparisons[a]
                exprs[index] = (f"{_wrap(left, _SUM)} {_NEGATED[inner]} {_wrap(right, _SUM)}", _COMPARE)
            else:
                exprs[index] = (f"not {exprs[a][0]}", _NOT)  # any operand reads as meant after `not`
        elif tag == _LET:
            if reader.byte() == 6:
                raise ValueError(f"the number identifier {reader.varint()} has no text form")
            name = _name(reader.text())
            a = reader.varint()
            size += sizes[a]
            blocks[index] = [f"{name} = {exprs[a][0]}"]
        else:  # _IF
            cond = reader.varint()
            then = [reader.varint() for _ in range(reader.varint())]
            otherwise = [reader.varint() for _ in range(reader.varint())]
            size += sizes[cond] + sum(sizes[i] for i in then) + sum(sizes[i] for i in otherwise)
            lines = [f"if {exprs[cond][0]}:"]
            lines += [_INDENT + line for i in then for line in blocks[i]] or [_INDENT + "pass"]
            if len(otherwise) == 1 and otherwise[0] in ifs:
                nested = blocks[otherwise[0]]
                lines += ["el" + nested[0], *nested[1:]]
            elif otherwise:
                lines += ["else:", *(_INDENT + line for i in otherwise for line in blocks[i])]
            blocks[index] = lines
            ifs.add(index)
        if size > MAX_NODES:
            raise ValueError(f"the tree expands to more than {MAX_NODES} nodes: no text of a manageable size")
        sizes.append(size)
    root = count - 1
    if root in blocks:
        return "".join(line + "\n" for line in blocks[root])
    return exprs[root][0]
