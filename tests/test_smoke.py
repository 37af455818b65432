"""Smoke test of the zarn module's Python face: import, classes, the exact
texts of binding and conversion errors, the fault boundary and packaging."""

import gc
import importlib
import shutil
import subprocess
import sys
import weakref

import pytest

import zarn
from zarn import Expr, Statement, Velk

lit = Expr.literal
x1 = Statement.let("x", lit(1))


def panic_type():
    try:
        Velk().get("missing")
    except BaseException as e:  # noqa: BLE001 - PanicException is not importable
        return type(e)
    raise AssertionError("get of a missing variable did not raise")


class TypeErrorWithCause:
    """A sequence whose iteration fails with a TypeError that has a cause."""

    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise TypeError("boom") from KeyError("root")


class IterRaises:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise ValueError("not today")


# ---- module and classes -----------------------------------------------------


def test_module_identity_and_registration():
    assert zarn.__all__ == ["Velk", "Statement", "Expr"]
    assert zarn.__doc__ == ""
    assert [c.__module__ for c in (Velk, Statement, Expr)] == ["builtins"] * 3
    del sys.modules["zarn"]
    again = importlib.import_module("zarn")
    assert again is zarn
    assert importlib.reload(zarn) is zarn


def test_class_properties():
    e = lit(1)
    with pytest.raises(AttributeError):
        e.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(e)
    for cls in (Velk, Statement, Expr):
        with pytest.raises(TypeError, match="not an acceptable base type"):
            type("Sub", (cls,), {})
    assert Expr.__doc__ is None and Statement.__doc__ is None
    assert Velk.__text_signature__ == "()"
    signatures = {
        Statement.let: "(ident, pxpr)",
        Statement.if_: "(pxpr, then, otherwise)",
        Expr.literal: "(value)",
        Expr.ident: "(id)",
        Expr.binary_op: "(a, o, b)",
        Expr.equals: "(a, b)",
        Expr.not_: "(item)",
        Expr.greater_than: "(a, b)",
        Expr.less_than: "(a, b)",
        Velk.run: "($self, stmts)",
        Velk.get: "($self, ident)",
    }
    for method, signature in signatures.items():
        assert method.__text_signature__ == signature
    # A builder called through an instance ignores the instance.
    built = e.literal(2)
    assert built is not e and type(built) is Expr


def test_instances_release_their_type_reference():
    gc.collect()
    before = sys.getrefcount(Expr), sys.getrefcount(Velk)
    for _ in range(1000):
        Expr.equals(lit("a"), lit(None))
        Velk().run([x1])
    assert (sys.getrefcount(Expr), sys.getrefcount(Velk)) == before


# ---- exact error texts --------------------------------------------------------

S = Statement.let("s", lit(0))

MESSAGES = [
    # (call, exception type, exact message)
    (lambda: Expr(), TypeError, "No constructor defined for Expr"),
    (lambda: Statement(1, k=2), TypeError, "No constructor defined for Statement"),
    (lambda: Statement.if_(lit(True)), TypeError,
     "Statement.if_() missing 2 required positional arguments: 'then' and 'otherwise'"),
    (lambda: Expr.binary_op(), TypeError,
     "Expr.binary_op() missing 3 required positional arguments: 'a', 'o', and 'b'"),
    (lambda: Expr.binary_op(1, "+"), TypeError,
     "Expr.binary_op() missing 1 required positional argument: 'b'"),
    (lambda: Expr.literal(1, 2), TypeError, "Expr.literal() takes 1 positional arguments but 2 were given"),
    (lambda: Expr.ident(x=1), TypeError, "Expr.ident() got an unexpected keyword argument 'x'"),
    (lambda: Expr.equals(lit(1), a=lit(2)), TypeError, "Expr.equals() got multiple values for argument 'a'"),
    (lambda: Velk().run(), TypeError, "Velk.run() missing 1 required positional argument: 'stmts'"),
    (lambda: Velk().run([], []), TypeError, "Velk.run() takes 1 positional arguments but 2 were given"),
    (lambda: Velk().run(x=[]), TypeError, "Velk.run() got an unexpected keyword argument 'x'"),
    (lambda: Velk().run([], stmts=[]), TypeError, "Velk.run() got multiple values for argument 'stmts'"),
    (lambda: Velk().get(), TypeError, "Velk.get() missing 1 required positional argument: 'ident'"),
    (lambda: Velk(1), TypeError, "Velk.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: Velk(1, 2), TypeError, "Velk.__new__() takes 0 positional arguments but 2 were given"),
    (lambda: Velk(x=1), TypeError, "Velk.__new__() got an unexpected keyword argument 'x'"),
    (lambda: Expr.equals(1, lit(1)), TypeError, "argument 'a': 'int' object cannot be converted to 'Expr'"),
    (lambda: Expr.binary_op(lit(1), "%", lit(2)), ValueError, "Expected one of: +, -, *, /"),
    (lambda: Expr.binary_op(lit(1), "+", 5), TypeError, "argument 'b': 'int' object cannot be converted to 'Expr'"),
    (lambda: Expr.binary_op(lit(1), "%", 5), TypeError, "argument 'b': 'int' object cannot be converted to 'Expr'"),
    (lambda: Expr.binary_op(lit(1), 43, lit(2)), TypeError,
     "argument 'o': 'int' object cannot be converted to 'PyString'"),
    (lambda: Expr.not_(S), TypeError, "argument 'item': 'Statement' object cannot be converted to 'Expr'"),
    (lambda: Statement.let("x", 5), TypeError, "argument 'pxpr': 'int' object cannot be converted to 'Expr'"),
    (lambda: Statement.if_(1, [], []), TypeError, "argument 'pxpr': 'int' object cannot be converted to 'Expr'"),
    (lambda: Statement.if_(lit(True), "x", []), TypeError, "argument 'then': Can't extract `str` to `Vec`"),
    (lambda: Statement.if_(lit(True), [], [lit(1)]), TypeError,
     "argument 'otherwise': 'Expr' object cannot be converted to 'Statement'"),
    (lambda: Statement.if_(lit(True), (s for s in [S]), []), TypeError,
     "argument 'then': 'generator' object cannot be converted to 'Sequence'"),
    (lambda: Velk().run(b"a"), TypeError, "argument 'stmts': 'int' object cannot be converted to 'Statement'"),
    (lambda: Velk().run(""), TypeError, "argument 'stmts': Can't extract `str` to `Vec`"),
    (lambda: Velk().run(5), TypeError, "argument 'stmts': 'int' object cannot be converted to 'Sequence'"),
    (lambda: Velk().run({S}), TypeError, "argument 'stmts': 'set' object cannot be converted to 'Sequence'"),
    (lambda: Velk().run(IterRaises()), ValueError, "not today"),
]


@pytest.mark.parametrize("call, kind, message", MESSAGES, ids=[m[2][:60] for m in MESSAGES])
def test_exact_messages(call, kind, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is kind
    assert str(info.value) == message


@pytest.mark.parametrize("op", ["", "++", " +", "%", "é"])
def test_bad_operator_texts_have_no_prefix(op):
    with pytest.raises(ValueError) as info:
        Expr.binary_op(lit(1), op, lit(2))
    assert str(info.value) == "Expected one of: +, -, *, /"


def test_lone_surrogate_operator_passes_the_interpreters_error():
    with pytest.raises(UnicodeEncodeError) as info:
        Expr.binary_op(lit(1), "\udc80", lit(2))
    assert not str(info.value).startswith("argument")


def test_argument_error_keeps_the_cause():
    with pytest.raises(TypeError) as info:
        Velk().run(TypeErrorWithCause())
    assert str(info.value) == "argument 'stmts': boom"
    assert isinstance(info.value.__cause__, KeyError)


def test_enumeration_failure_for_a_list_literal():
    with pytest.raises(TypeError) as info:
        Expr.literal([1])
    lines = str(info.value).split("\n")
    assert lines[:4] == [
        "argument 'value': failed to extract enum PyValue ('Null | Boolean | String | I64 | F64')",
        "- variant Null (Null): TypeError: failed to extract field PyValue::Null.0, caused by "
        "TypeError: 'list' object cannot be converted to 'NoneType'",
        "- variant Boolean (Boolean): TypeError: failed to extract field PyValue::Boolean.0, caused by "
        "TypeError: 'list' object cannot be converted to 'PyBool'",
        "- variant String (String): TypeError: failed to extract field PyValue::String.0, caused by "
        "TypeError: 'list' object cannot be converted to 'PyString'",
    ]
    assert lines[4].startswith("- variant I64 (I64): TypeError: failed to extract field PyValue::I64.0, "
                               "caused by TypeError: ")
    assert lines[5].startswith("- variant F64 (F64): TypeError: failed to extract field PyValue::F64.0, "
                               "caused by TypeError: ")
    assert len(lines) == 6


@pytest.mark.parametrize("ident, u_line_end", [
    (4294967296, "OverflowError: out of range integral type conversion attempted"),
    (-1, None),
    (3.0, None),
])
def test_identifier_refusals(ident, u_line_end):
    with pytest.raises(TypeError) as info:
        Statement.let(ident, lit(1))
    lines = str(info.value).split("\n")
    assert lines[0] == "argument 'ident': failed to extract enum PyIdentifier ('U | S')"
    assert lines[1].startswith("- variant U (U): TypeError: failed to extract field PyIdentifier::U.0, caused by ")
    if u_line_end:
        assert lines[1].endswith(u_line_end)
    if ident == -1:
        assert "caused by OverflowError: " in lines[1]
    assert lines[2].endswith("caused by TypeError: '%s' object cannot be converted to 'PyString'"
                             % type(ident).__qualname__)


# ---- conversions end to end -----------------------------------------------------


class Text(str):
    pass


def roundtrip(value):
    v = Velk()
    v.run([Statement.let("x", lit(value))])
    return v.get("x")


@pytest.mark.parametrize("given, expected", [
    (None, None), (True, True), (False, False), (0, 0), (2**63, float(2**63)),
    (-2**63, -2**63), (1.5, 1.5), ("", ""), (Text("t"), "t"), ("a\0b", "a\0b"),
])
def test_literals_come_back_with_their_kind(given, expected):
    got = roundtrip(given)
    assert got == expected and type(got) is type(expected)


def test_numpy_bool_is_a_boolean():
    numpy = pytest.importorskip("numpy")
    assert roundtrip(numpy.bool_(True)) is True
    assert roundtrip(numpy.bool_(False)) is False


@pytest.mark.parametrize("bad", [10**400, b"x", [1], object()])
def test_unconvertible_literals(bad):
    with pytest.raises(TypeError, match="^argument 'value': failed to extract enum PyValue"):
        lit(bad)


def test_identifier_forms_name_distinct_variables():
    v = Velk()
    v.run([
        Statement.let(0, lit("number 0")),
        Statement.let("0", lit("text 0")),
        Statement.let(4294967295, lit("top")),
        Statement.let(Text(""), lit("empty")),
        Statement.let(True, lit("one")),
    ])
    assert v.get(0) == "number 0" and v.get("0") == "text 0"
    assert v.get(4294967295) == "top" and v.get("") == "empty" and v.get(1) == "one"


# ---- machine ----------------------------------------------------------------------


def test_run_and_get():
    v = Velk()
    assert repr(v) == "Machine { vars: {} }" and str(v) == repr(v)
    for empty in ([], (), b""):
        assert v.run(empty) is None
    v.run((x1,))
    assert v.get("x") == 1 and type(v.get("x")) is int
    with pytest.raises(BaseException) as info:
        v.get("y")
    assert type(info.value) is panic_type()
    assert str(info.value) == 'Value cannot be found: S("y")'
    with pytest.raises(panic_type(), match=r"^Value cannot be found: U\(0\)$"):
        v.get(0)


def test_failed_run_keeps_completed_bindings_and_panics_past_exception():
    v = Velk()
    step = Statement.let("n", Expr.binary_op(Expr.ident("n"), "+", lit(1)))
    v.run([Statement.let("n", lit(0)), step, step])  # the same object twice runs twice
    assert v.get("n") == 2
    caught_by_exception = False
    try:
        v.run([Statement.let("a", lit(1)), Statement.let("b", Expr.ident("c")), Statement.let("d", lit(2))])
    except Exception:  # noqa: BLE001 - must not catch PanicException
        caught_by_exception = True
    except BaseException as e:  # noqa: BLE001
        assert str(e) == 'Value cannot be found: S("c")'
    assert not caught_by_exception
    assert v.get("a") == 1
    with pytest.raises(BaseException, match="cannot be found"):
        v.get("d")


def test_bad_item_runs_nothing():
    v = Velk()
    with pytest.raises(TypeError):
        v.run([x1, lit(1)])
    assert repr(v) == "Machine { vars: {} }"


def test_statement_lists_are_copied():
    then = [Statement.let("y", lit("then"))]
    cond = Statement.if_(lit(True), then, [])
    then.append(Statement.let("z", lit(1)))
    v = Velk()
    v.run([cond])
    assert v.get("y") == "then"
    with pytest.raises(BaseException, match="cannot be found"):
        v.get("z")


def test_fault_report_goes_to_stderr(capfd):
    with pytest.raises(BaseException):
        Velk().run([Statement.if_(lit(1), [], [])])
    err = capfd.readouterr().err
    assert "crates/velk/src/lib:247:21" in err
    assert "Expected deduced condition to be a bool, got other type" in err


# ---- process-level checks -------------------------------------------------------------


# Exhausted memory (MemoryError, the machine surviving) is covered in
# test_memory_limit.py.


def test_import_in_a_subinterpreter_is_refused(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    out = tmp_path / "out.txt"
    code = f"""
try:
    import zarn
except ImportError as e:
    open({str(out)!r}, "w").write("ImportError: " + str(e))
"""
    testcapi.run_in_subinterp(code)
    text = out.read_text()
    assert text.startswith("ImportError:") and "sub-interpreters" in text
    assert Velk().run([x1]) is None  # the first interpreter's module is unaffected


def test_only_the_entry_point_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not installed")
    out = subprocess.run([nm, "-D", "--defined-only", zarn.__file__],
                         capture_output=True, text=True, check=True).stdout
    exported = sorted(line.split()[-1] for line in out.splitlines())
    # The allocation-failure test build (ZARN_ALLOC_FAULTS) adds the three
    # controls of its failing operator new, and nothing else.
    fault_controls = ["velk_fail_allocation_after", "velk_failed_allocations", "velk_live_allocations"]
    assert exported in (["PyInit_zarn"], sorted(["PyInit_zarn", *fault_controls]))
