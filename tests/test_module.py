"""The module object, its classes and the PanicException class."""

import gc
import importlib
import inspect
import shutil
import subprocess
import sys
import weakref

import pytest
import zarn

from support import PanicException, raises_exactly

CLASSES = [zarn.Velk, zarn.Statement, zarn.Expr]


def test_reimport_yields_the_identical_module():
    first = sys.modules["zarn"]
    assert importlib.import_module("zarn") is first
    del sys.modules["zarn"]
    try:
        again = importlib.import_module("zarn")
    finally:
        sys.modules["zarn"] = first
    assert again is first
    assert importlib.reload(first) is first
    assert zarn.Expr is first.Expr


def test_module_namespace():
    assert type(zarn.__all__) is list
    assert zarn.__all__ == ["Velk", "Statement", "Expr"]
    assert zarn.__doc__ == ""
    public = {name for name in dir(zarn) if not name.startswith("__")}
    assert public == {"Velk", "Statement", "Expr"}
    assert not hasattr(zarn, "PanicException")


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_identity(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__bases__ == (object,)
    assert getattr(zarn, cls.__name__) is cls


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})


def _instances():
    return [zarn.Velk(), zarn.Statement.let("x", zarn.Expr.literal(1)), zarn.Expr.literal(1)]


@pytest.mark.parametrize("index", range(3), ids=["Velk", "Statement", "Expr"])
def test_instances_have_no_attributes_or_weakrefs(index):
    obj = _instances()[index]
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(AttributeError):
        obj.__dict__
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize("index", range(3), ids=["Velk", "Statement", "Expr"])
def test_instances_compare_and_hash_by_identity(index):
    a, b = _instances()[index], _instances()[index]
    assert a == a and a != b
    assert hash(a) == object.__hash__(a)


def test_expr_and_statement_print_in_the_default_form():
    e = zarn.Expr.literal(1)
    s = zarn.Statement.let("x", e)
    assert repr(e) == object.__repr__(e)
    assert repr(s) == object.__repr__(s)
    assert repr(e).startswith("<builtins.Expr object at 0x")


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda: zarn.Expr(), "Expr"),
        (lambda: zarn.Expr(1, 2, k=3), "Expr"),
        (lambda: zarn.Statement(), "Statement"),
        (lambda: zarn.Statement(1, x=2), "Statement"),
    ],
)
def test_refusing_constructors(call, name):
    with raises_exactly(TypeError, f"No constructor defined for {name}"):
        call()


METHOD_SIGNATURES = [
    (zarn.Statement, "let", "(ident, pxpr)"),
    (zarn.Statement, "if_", "(pxpr, then, otherwise)"),
    (zarn.Expr, "literal", "(value)"),
    (zarn.Expr, "ident", "(id)"),
    (zarn.Expr, "binary_op", "(a, o, b)"),
    (zarn.Expr, "equals", "(a, b)"),
    (zarn.Expr, "not_", "(item)"),
    (zarn.Expr, "greater_than", "(a, b)"),
    (zarn.Expr, "less_than", "(a, b)"),
    (zarn.Velk, "run", "($self, stmts)"),
    (zarn.Velk, "get", "($self, ident)"),
]


@pytest.mark.parametrize("cls, name, signature", METHOD_SIGNATURES, ids=lambda x: getattr(x, "__name__", x))
def test_method_text_signatures(cls, name, signature):
    method = getattr(cls, name)
    assert method.__text_signature__ == signature
    # The documentation is only the signature: its body is empty.
    assert method.__doc__ is None
    params = [p.strip() for p in signature.strip("()").split(",")]
    params = ["self" if p == "$self" else p for p in params]
    assert list(inspect.signature(method).parameters) == params
    for p in inspect.signature(method).parameters.values():
        if p.name == "self":
            continue
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and p.default is p.empty


def test_method_tables():
    assert [n for n in vars(zarn.Velk) if not n.startswith("__")] == ["run", "get"]
    assert [n for n in vars(zarn.Statement) if not n.startswith("__")] == ["let", "if_"]
    assert [n for n in vars(zarn.Expr) if not n.startswith("__")] == [
        "literal", "ident", "binary_op", "equals", "not_", "greater_than", "less_than",
    ]
    for cls in (zarn.Statement, zarn.Expr):
        for name, attr in vars(cls).items():
            if not name.startswith("__"):
                assert isinstance(attr, staticmethod), name


def test_class_documentation():
    assert zarn.Velk.__text_signature__ == "()"
    assert zarn.Velk.__doc__ == ""
    assert zarn.Expr.__doc__ is None
    assert zarn.Statement.__doc__ is None


def test_static_builders_work_through_an_instance():
    e = zarn.Expr.literal(1)
    other = e.literal("x")
    assert type(other) is zarn.Expr and other is not e
    v = zarn.Velk()
    v.run([zarn.Statement.let("y", other)])
    assert v.get("y") == "x"
    stmt = zarn.Statement.let("a", e)
    assert type(stmt.let("b", e)) is zarn.Statement


def test_panic_exception_class():
    assert PanicException.__bases__ == (BaseException,)
    assert not issubclass(PanicException, Exception)
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__qualname__ == "PanicException"
    assert isinstance(PanicException.__module__, str) and PanicException.__module__
    assert isinstance(PanicException.__doc__, str) and PanicException.__doc__.strip()
    # One class per process: a second failure raises the same type.
    try:
        zarn.Velk().run([zarn.Statement.let(0, zarn.Expr.ident(1))])
    except BaseException as exc:  # noqa: BLE001
        assert type(exc) is PanicException
    else:
        pytest.fail("run did not fail")


def test_panic_is_not_caught_as_exception():
    caught_by = None
    try:
        try:
            zarn.Velk().get(3)
        except Exception:  # noqa: BLE001 - the point of the test
            caught_by = "Exception"
    except BaseException as exc:  # noqa: BLE001
        caught_by = "BaseException"
        assert str(exc) == "Value cannot be found: U(3)"
    assert caught_by == "BaseException"


def test_instances_release_their_type_reference():
    gc.collect()
    before = sys.getrefcount(zarn.Expr), sys.getrefcount(zarn.Velk)
    x1 = zarn.Statement.let("x", zarn.Expr.literal(1))
    for _ in range(1000):
        zarn.Expr.equals(zarn.Expr.literal("a"), zarn.Expr.literal(None))
        zarn.Velk().run([x1])
    assert (sys.getrefcount(zarn.Expr), sys.getrefcount(zarn.Velk)) == before


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
    # The first interpreter's module is unaffected.
    assert zarn.Velk().run([zarn.Statement.let("x", zarn.Expr.literal(1))]) is None


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
