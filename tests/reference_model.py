"""A small pure-Python model of the language that zarn.Velk runs.

Trees are plain tuples built with the helpers below (``lit``, ``ident``,
``binop``, ``eq``, ``not_``, ``gt``, ``lt``, ``let``, ``if_``).  Values are the
Python objects None, bool, str, int (kept inside the signed 64-bit range) and
float.  ``Machine`` executes statement lists exactly like the real machine:
the first failure stops the run with a ``ModelError`` carrying the message,
and bindings made before it stay.

Float arithmetic is done with Python floats, i.e. with the same IEEE 754
hardware operations the native code uses; the only thing the hardware leaves
open is which NaN comes out of an operation on two different NaNs (compilers
may swap the operands of commutative operations).  Such a result is modelled
as ``UNCERTAIN_NAN``; an ordering that depends on its sign bit raises
``Indeterminate`` so that a differential test can stop comparing there.
"""

from __future__ import annotations

import math
import os
import struct
import unicodedata

import failure_messages as failures

INT_MIN = -(2**63)
INT_MAX = 2**63 - 1
U32_MAX = 2**32 - 1

OPERATORS = ("+", "-", "*", "/")


class ModelError(Exception):
    """A failure of the language; ``message`` is the exact text."""

    def __init__(self, message: str):
        super().__init__(message)
        self.message = message


class Indeterminate(Exception):
    """The outcome depends on the sign of a NaN the hardware leaves open."""


class _UncertainNaN:
    """A Float NaN whose bits (sign included) are not fixed by IEEE 754."""

    _instance = None

    def __new__(cls):
        if cls._instance is None:
            cls._instance = super().__new__(cls)
        return cls._instance

    def __repr__(self):
        return "UNCERTAIN_NAN"


UNCERTAIN_NAN = _UncertainNaN()


def same_value(actual, expected) -> bool:
    """Whether a Python value read back from a machine is exactly the one
    the model predicts: same type, floats bit for bit (NaN payload and
    sign, -0.0 against 0.0); an uncertain NaN matches any NaN."""
    if expected is UNCERTAIN_NAN:
        return type(actual) is float and math.isnan(actual)
    if type(actual) is not type(expected):
        return False
    if type(expected) is float:
        return struct.pack("<d", actual) == struct.pack("<d", expected)
    return actual == expected

# The NaN the floating-point unit produces for an invalid operation.  It is
# computed at run time so that it carries this machine's sign bit.
_INF = float("inf")
DEFAULT_NAN = _INF - _INF


# --------------------------------------------------------------------------
# Values


def kind(value) -> str:
    if value is None:
        return "null"
    if type(value) is bool:
        return "bool"
    if type(value) is str:
        return "string"
    if type(value) is int:
        return "int"
    if type(value) is float or value is UNCERTAIN_NAN:
        return "float"
    raise TypeError(f"not a model value: {value!r}")


def is_number(value) -> bool:
    return kind(value) in ("int", "float")


def is_nan(value) -> bool:
    return value is UNCERTAIN_NAN or (type(value) is float and math.isnan(value))


def float_bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def wrap_i64(n: int) -> int:
    return ((n + 2**63) % 2**64) - 2**63


def literal_value(obj):
    """The value a Python object becomes as a literal (accepted forms only)."""
    if obj is None or type(obj) in (bool, str, float):
        return obj
    if type(obj) is int:
        if INT_MIN <= obj <= INT_MAX:
            return obj
        return float(obj)  # out of the 64-bit range: taken as a double
    raise TypeError(f"the model has no literal form for {obj!r}")


def identifier(obj):
    """The identifier a Python object names: ('U', n) or ('S', text)."""
    if isinstance(obj, int) and 0 <= obj <= U32_MAX:
        return ("U", int(obj))
    if isinstance(obj, str):
        return ("S", str(obj))
    raise TypeError(f"the model has no identifier form for {obj!r}")


# --------------------------------------------------------------------------
# Arithmetic, equality, ordering


def _int_div(a: int, b: int) -> int:
    if b == 0:
        raise ModelError(failures.DIVIDE_BY_ZERO)
    if a == INT_MIN and b == -1:
        raise ModelError(failures.DIVIDE_OVERFLOW)
    q = abs(a) // abs(b)
    return -q if (a < 0) != (b < 0) else q


def _float_div(a: float, b: float) -> float:
    if b == 0.0:  # Python refuses this; IEEE 754 does not
        if math.isnan(a):
            return a
        if a == 0.0:
            return DEFAULT_NAN
        negative = (math.copysign(1.0, a) < 0) != (math.copysign(1.0, b) < 0)
        return -_INF if negative else _INF
    return a / b


def _float_op(a, op: str, b):
    if a is UNCERTAIN_NAN or b is UNCERTAIN_NAN:
        return UNCERTAIN_NAN
    if math.isnan(a) and math.isnan(b) and float_bits(a) != float_bits(b):
        return UNCERTAIN_NAN
    if op == "+":
        return a + b
    if op == "-":
        return a - b
    if op == "*":
        return a * b
    return _float_div(a, b)


def binary(left, op: str, right):
    lk, rk = kind(left), kind(right)
    if lk == "string":
        if rk != "string":
            raise ModelError(failures.OPERAND_KINDS)
        if op != "+":
            raise ModelError(failures.STRING_OPERATOR)
        return left + right
    if lk not in ("int", "float") or rk not in ("int", "float"):
        raise ModelError(failures.OPERAND_KINDS)
    if lk == "int" and rk == "int":
        if op == "+":
            return wrap_i64(left + right)
        if op == "-":
            return wrap_i64(left - right)
        if op == "*":
            return wrap_i64(left * right)
        return _int_div(left, right)
    a = float(left) if lk == "int" else left
    b = float(right) if rk == "int" else right
    return _float_op(a, op, b)


def equals(left, right) -> bool:
    lk, rk = kind(left), kind(right)
    if lk != rk:
        return False
    if lk == "float" and (left is UNCERTAIN_NAN or right is UNCERTAIN_NAN):
        return False
    return left == right


def total_order_key(x: float) -> int:
    """IEEE 754 totalOrder as a signed integer key."""
    bits = struct.unpack("<q", struct.pack("<d", x))[0]
    if bits < 0:
        bits ^= 0x7FFF_FFFF_FFFF_FFFF
    return bits


def compare(left, right) -> int:
    """-1, 0 or 1 as left sorts before, with or after right."""
    if not (is_number(left) and is_number(right)):
        raise ModelError(failures.ORDER_OPERANDS)
    if type(left) is int and type(right) is int:
        return (left > right) - (left < right)
    if left is UNCERTAIN_NAN or right is UNCERTAIN_NAN:
        raise Indeterminate("ordering of a NaN with an unspecified sign")
    a = total_order_key(float(left))
    b = total_order_key(float(right))
    return (a > b) - (a < b)


# --------------------------------------------------------------------------
# Trees


def lit(value):
    return ("lit", literal_value(value))


def ident(name):
    return ("ident", identifier(name))


def binop(a, op, b):
    assert op in OPERATORS
    return ("bin", a, op, b)


def eq(a, b):
    return ("eq", a, b)


def not_(a):
    return ("not", a)


def gt(a, b):
    return ("gt", a, b)


def lt(a, b):
    return ("lt", a, b)


def let(name, expr):
    return ("let", identifier(name), expr)


def if_(cond, then, otherwise):
    return ("if", cond, tuple(then), tuple(otherwise))


# --------------------------------------------------------------------------
# Debug text forms


class UnicodeTables:
    """Which code points the debug form writes as a \\u{...} escape."""

    def __init__(self, escaped: bytearray, source: str):
        self._escaped = escaped
        self.source = source

    def escapes(self, cp: int) -> bool:
        return bool(self._escaped[cp])


NOT_PRINTABLE_CATEGORIES = frozenset({"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"})
UNICODE_DIR = "/usr/share/unicode"


def load_unicode_tables(directory: str = UNICODE_DIR):
    """Tables from UnicodeData.txt and DerivedCoreProperties.txt, or None."""
    data = os.path.join(directory, "UnicodeData.txt")
    props = os.path.join(directory, "DerivedCoreProperties.txt")
    if not (os.path.exists(data) and os.path.exists(props)):
        return None
    escaped = bytearray(b"\x01") * 0x110000  # unassigned until listed
    range_start = None
    with open(data, encoding="utf-8") as f:
        for line in f:
            fields = line.split(";")
            cp, name, category = int(fields[0], 16), fields[1], fields[2]
            flag = 1 if category in NOT_PRINTABLE_CATEGORIES else 0
            if name.endswith(", First>"):
                range_start = cp
                continue
            if name.endswith(", Last>"):
                escaped[range_start : cp + 1] = bytes([flag]) * (cp + 1 - range_start)
                range_start = None
                continue
            escaped[cp] = flag
    escaped[0x20] = 0  # the ASCII blank is printable
    with open(props, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            cps, prop = (part.strip() for part in line.split(";"))
            if prop != "Grapheme_Extend":
                continue
            lo, _, hi = cps.partition("..")
            lo = int(lo, 16)
            hi = int(hi, 16) if hi else lo
            escaped[lo : hi + 1] = b"\x01" * (hi + 1 - lo)
    return UnicodeTables(escaped, directory)


def _fallback_tables():
    # Used only when the data files are missing: close enough for the
    # ordinary characters the non-exhaustive tests use.
    escaped = bytearray(0x110000)
    for cp in range(0x110000):
        cat = unicodedata.category(chr(cp))
        if cat in NOT_PRINTABLE_CATEGORIES or cat in ("Mn", "Me"):
            escaped[cp] = 1
    escaped[0x20] = 0
    return UnicodeTables(escaped, "unicodedata " + unicodedata.unidata_version)


_tables = None


def tables() -> UnicodeTables:
    global _tables
    if _tables is None:
        _tables = load_unicode_tables() or _fallback_tables()
    return _tables


_SIMPLE_ESCAPES = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}


def escape_char(c: str, t: UnicodeTables | None = None) -> str:
    simple = _SIMPLE_ESCAPES.get(c)
    if simple is not None:
        return simple
    if (t or tables()).escapes(ord(c)):
        return "\\u{%x}" % ord(c)
    return c


def quote(text: str, t: UnicodeTables | None = None) -> str:
    t = t or tables()
    return '"' + "".join(escape_char(c, t) for c in text) + '"'


def identifier_debug(ident_) -> str:
    tag, payload = ident_
    return f"U({payload})" if tag == "U" else f"S({quote(payload)})"


def float_debug(x) -> str:
    """Shortest round-trip text: plain in [1e-4, 1e16) and for zero, else exponent."""
    if is_nan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    text = repr(x)  # Python's repr gives the shortest round-trip digits
    if x == 0 or 1e-4 <= abs(x) < 1e16:
        assert "e" not in text, text
        return text
    mantissa, exponent = text.split("e")
    return f"{mantissa}e{int(exponent)}"


def value_debug(value) -> str:
    k = kind(value)
    if k == "null":
        return "Null"
    if k == "bool":
        return "Boolean(true)" if value else "Boolean(false)"
    if k == "string":
        return f"String({quote(value)})"
    if k == "int":
        return f"Number(Int({value}))"
    return f"Number(Float({float_debug(value)}))"


# --------------------------------------------------------------------------
# Machine


class Machine:
    def __init__(self):
        self.vars = {}

    def get_value(self, ident_):
        try:
            return self.vars[ident_]
        except KeyError:
            raise ModelError(failures.NOT_FOUND + identifier_debug(ident_)) from None

    def get(self, name):
        """Lookup with a Python identifier form, like Velk.get."""
        return self.get_value(identifier(name))

    def evaluate(self, expr):
        tag = expr[0]
        if tag == "lit":
            return expr[1]
        if tag == "ident":
            return self.get_value(expr[1])
        if tag == "bin":
            left = self.evaluate(expr[1])
            right = self.evaluate(expr[3])
            return binary(left, expr[2], right)
        if tag == "not":
            operand = self.evaluate(expr[1])
            if type(operand) is not bool:
                raise ModelError(failures.NOT_OPERAND)
            return not operand
        left = self.evaluate(expr[1])
        right = self.evaluate(expr[2])
        if tag == "eq":
            return equals(left, right)
        if tag == "gt":
            return compare(left, right) > 0
        if tag == "lt":
            return compare(left, right) < 0
        raise ValueError(f"unknown expression {expr!r}")

    def run(self, statements):
        for stmt in statements:
            if stmt[0] == "let":
                value = self.evaluate(stmt[2])
                self.vars[stmt[1]] = value
            else:
                cond = self.evaluate(stmt[1])
                if type(cond) is not bool:
                    raise ModelError(failures.CONDITION)
                self.run(stmt[2] if cond else stmt[3])

    def entries(self):
        """The printed entries, each 'ident: value', in no particular order."""
        return [f"{identifier_debug(k)}: {value_debug(v)}" for k, v in self.vars.items()]
