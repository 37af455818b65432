"""Helpers shared by the zarn test suites and the atheris harness.

A plain module (no pytest), so that fuzz/python_fuzz.py can import what it
shares with the suites without pulling in the test runner.
"""

from __future__ import annotations

import contextlib
import ctypes
import math
import re

import zarn

import reference_model as model

Expr = zarn.Expr
Statement = zarn.Statement
Velk = zarn.Velk


def _find_panic_exception():
    try:
        Velk().get("__surely_unbound__")
    except BaseException as exc:  # noqa: BLE001 - we want its exact type
        return type(exc)
    raise AssertionError("looking up an unbound variable did not fail")


PanicException = _find_panic_exception()


class Raised:
    """What a ``raises_*`` block caught: ``value`` is the exception."""

    value: BaseException


@contextlib.contextmanager
def _raises():
    info = Raised()
    try:
        yield info
    except BaseException as exc:  # noqa: BLE001 - every exception is checked by type
        info.value = exc
        return
    raise AssertionError("DID NOT RAISE")


@contextlib.contextmanager
def raises_panic(message: str):
    """Expect a PanicException whose text is exactly ``message``."""
    with _raises() as info:
        yield info
    assert type(info.value) is PanicException, repr(info.value)
    assert str(info.value) == message
    assert info.value.args == (message,)


@contextlib.contextmanager
def raises_exactly(exc_type, message: str):
    """Expect an exception of exactly ``exc_type`` whose text is ``message``."""
    with _raises() as info:
        yield info
    assert type(info.value) is exc_type, f"{type(info.value).__name__}: {info.value}"
    assert str(info.value) == message


# --------------------------------------------------------------------------
# Running expressions


def L(value):
    return Expr.literal(value)


def I(name):
    return Expr.ident(name)


def B(a, op, b):
    return Expr.binary_op(a, op, b)


def evaluate(expr, setup=()):
    """Run ``let __r = expr`` on a new machine (after ``setup``) and read it back."""
    v = Velk()
    if setup:
        v.run(list(setup))
    v.run([Statement.let("__r", expr)])
    return v.get("__r")


def outcome(expr, setup=()):
    """('ok', value) or ('panic', message) for one expression."""
    try:
        return ("ok", evaluate(expr, setup))
    except PanicException as exc:
        return ("panic", str(exc))


same_value = model.same_value  # exact type and value; floats bit for bit


def assert_same_value(actual, expected):
    assert same_value(actual, expected), f"got {actual!r} ({type(actual).__name__}), expected {expected!r} ({type(expected).__name__})"


def signbit(x: float) -> bool:
    return math.copysign(1.0, x) < 0


# --------------------------------------------------------------------------
# Model trees -> zarn objects


def build_expr(tree):
    tag = tree[0]
    if tag == "lit":
        return Expr.literal(tree[1])
    if tag == "ident":
        return Expr.ident(tree[1][1])
    if tag == "bin":
        return Expr.binary_op(build_expr(tree[1]), tree[2], build_expr(tree[3]))
    if tag == "not":
        return Expr.not_(build_expr(tree[1]))
    builder = {"eq": Expr.equals, "gt": Expr.greater_than, "lt": Expr.less_than}[tag]
    return builder(build_expr(tree[1]), build_expr(tree[2]))


def build_stmt(tree):
    if tree[0] == "let":
        return Statement.let(tree[1][1], build_expr(tree[2]))
    return Statement.if_(
        build_expr(tree[1]),
        [build_stmt(s) for s in tree[2]],
        [build_stmt(s) for s in tree[3]],
    )


# --------------------------------------------------------------------------
# Expected conversion failures


def _capi(name, restype):
    fn = getattr(ctypes.pythonapi, name)
    fn.argtypes = [ctypes.py_object]
    fn.restype = restype
    return fn


def interpreter_error(api: str, obj) -> BaseException | None:
    """The exception the interpreter's own C conversion raises for ``obj``.

    ``api`` is one of PyLong_AsLongLong, PyFloat_AsDouble,
    PyLong_AsUnsignedLongLong, PyNumber_Index, PyUnicode_AsUTF8.  Calling the
    real C function keeps the expected texts right for every Python version.
    """
    restype = {
        "PyLong_AsLongLong": ctypes.c_longlong,
        "PyFloat_AsDouble": ctypes.c_double,
        "PyLong_AsUnsignedLongLong": ctypes.c_ulonglong,
        "PyNumber_Index": ctypes.py_object,
        "PyUnicode_AsUTF8": ctypes.c_void_p,
    }[api]
    try:
        result = _capi(api, restype)(obj)
    except BaseException as exc:  # noqa: BLE001
        return exc
    return result if api == "PyNumber_Index" else None


def chain_text(exc: BaseException) -> str:
    """'Type: text' for an exception and each of its causes."""
    parts = []
    while exc is not None:
        try:
            text = str(exc)
        except Exception:  # noqa: BLE001
            text = "<exception str() failed>"
        parts.append(f"{type(exc).__qualname__}: {text}")
        exc = exc.__cause__
    return ", caused by ".join(parts)


def conversion_error(obj, target: str) -> TypeError:
    return TypeError(f"'{type(obj).__qualname__}' object cannot be converted to '{target}'")


def _bool_error(obj):
    t = type(obj)
    if t is bool:
        return None
    if getattr(t, "__module__", None) == "numpy" and t.__name__ in ("bool_", "bool"):
        if getattr(t, "__bool__", None) is None:
            return TypeError(f"object of type '{t}' does not define a '__bool__' conversion")
        try:
            t.__bool__(obj)
        except BaseException as exc:  # noqa: BLE001
            return exc
        return None
    return conversion_error(obj, "PyBool")


def _text_error(obj):
    if not isinstance(obj, str):
        return conversion_error(obj, "PyString")
    return interpreter_error("PyUnicode_AsUTF8", obj)


def _u32_error(obj):
    if isinstance(obj, int):
        number = obj
        err = interpreter_error("PyLong_AsUnsignedLongLong", obj)
    else:
        number = interpreter_error("PyNumber_Index", obj)
        if isinstance(number, BaseException):
            return number
        err = interpreter_error("PyLong_AsUnsignedLongLong", number)
    if err is not None:
        return err
    if number > model.U32_MAX:
        return OverflowError("out of range integral type conversion attempted")
    return None


def enum_failure(enum: str, variants) -> str:
    """The text of a failed enumeration; ``variants`` is [(name, exception)]."""
    names = " | ".join(name for name, _ in variants)
    lines = [f"failed to extract enum {enum} ('{names}')"]
    for name, exc in variants:
        assert exc is not None, f"variant {name} would have accepted the object"
        lines.append(
            f"- variant {name} ({name}): TypeError: failed to extract field {enum}::{name}.0, caused by "
            + chain_text(exc)
        )
    return "\n".join(lines)


def literal_failure(obj) -> str:
    """Expected text when ``obj`` is refused as a literal (without prefix)."""
    return enum_failure(
        "PyValue",
        [
            ("Null", None if obj is None else conversion_error(obj, "NoneType")),
            ("Boolean", _bool_error(obj)),
            ("String", _text_error(obj)),
            ("I64", interpreter_error("PyLong_AsLongLong", obj)),
            ("F64", interpreter_error("PyFloat_AsDouble", obj)),
        ],
    )


def identifier_failure(obj) -> str:
    """Expected text when ``obj`` is refused as an identifier (without prefix)."""
    return enum_failure("PyIdentifier", [("U", _u32_error(obj)), ("S", _text_error(obj))])


def argument_error(param: str, text: str) -> str:
    return f"argument '{param}': {text}"


# --------------------------------------------------------------------------
# Printed form of a machine

_REPR_RE = re.compile(r"^Machine \{ vars: \{(.*)\} \}$", re.S)


def parse_machine_repr(text: str) -> list[str]:
    """Split the printed form into its 'ident: value' entry texts.

    Quoted texts may contain ', ' and braces, so this scans them properly.
    """
    m = _REPR_RE.match(text)
    assert m, f"not a machine's printed form: {text!r}"
    body = m.group(1)
    entries, start, i, depth, in_quote = [], 0, 0, 0, False
    while i < len(body):
        c = body[i]
        if in_quote:
            if c == "\\":
                i += 1
            elif c == '"':
                in_quote = False
        elif c == '"':
            in_quote = True
        elif c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
        elif c == "," and depth == 0:
            assert body[i + 1] == " ", text
            entries.append(body[start:i])
            start = i + 2
            i += 1
        i += 1
    assert not in_quote and depth == 0, text
    if body:
        entries.append(body[start:])
    return entries
