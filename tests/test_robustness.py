"""Bad input never crashes, never half-builds and never damages objects."""

import collections
import collections.abc
import copy
import os
import pickle
import re
import subprocess
import sys
import textwrap
import threading

import pytest
import zarn
import zarn_runtime

from support import PanicException, argument_error, parse_machine_repr, raises_exactly, raises_panic

Expr, Statement, Velk = zarn.Expr, zarn.Statement, zarn.Velk


def let(name, value):
    return Statement.let(name, Expr.literal(value))


class Fixture:
    """A machine, some trees, and a way to check none of them changed."""

    def __init__(self):
        self.machine = Velk()
        self.machine.run([let("x", 1), let(2, "two")])
        self.expr = Expr.binary_op(Expr.ident("x"), "+", Expr.literal(41))
        self.stmt = Statement.let("y", self.expr)
        self.cond = Statement.if_(Expr.literal(True), [self.stmt], [let("no", 1)])
        self.printed = repr(self.machine)

    def assert_intact(self):
        assert repr(self.machine) == self.printed
        probe = Velk()
        probe.run([let("x", 1), self.cond])
        assert probe.get("y") == 42
        with raises_panic('Value cannot be found: S("no")'):
            probe.get("no")
        self.machine.run([Statement.let("z", self.expr)])
        assert self.machine.get("z") == 42
        self.machine.run([let("z", None)])  # leave no trace for the next check
        self.printed = repr(self.machine)


HUGE = 10**400
SURROGATE = "\udc80"
# (object, whether it is a valid literal)
BAD_OBJECTS = [
    (None, True), (1.5, True), (-1, True), (2**64, True), (HUGE, False), (SURROGATE, False),
    (b"x", False), ([1], False), ({}, False), (object(), False), (Ellipsis, False), (type, False), (1j, False),
]


def _calls(f):
    """(description, call) pairs that give a bad object to one argument at a time."""
    e, s, v = f.expr, f.stmt, f.machine
    return {
        "literal.value": lambda bad: Expr.literal(bad),
        "ident.id": lambda bad: Expr.ident(bad),
        "binary_op.a": lambda bad: Expr.binary_op(bad, "+", e),
        "binary_op.o": lambda bad: Expr.binary_op(e, bad, e),
        "binary_op.b": lambda bad: Expr.binary_op(e, "+", bad),
        "equals.a": lambda bad: Expr.equals(bad, e),
        "equals.b": lambda bad: Expr.equals(e, bad),
        "not_.item": lambda bad: Expr.not_(bad),
        "greater_than.a": lambda bad: Expr.greater_than(bad, e),
        "greater_than.b": lambda bad: Expr.greater_than(e, bad),
        "less_than.a": lambda bad: Expr.less_than(bad, e),
        "less_than.b": lambda bad: Expr.less_than(e, bad),
        "let.ident": lambda bad: Statement.let(bad, e),
        "let.pxpr": lambda bad: Statement.let("k", bad),
        "if_.pxpr": lambda bad: Statement.if_(bad, [s], [s]),
        "if_.then": lambda bad: Statement.if_(e, bad, [s]),
        "if_.otherwise": lambda bad: Statement.if_(e, [s], bad),
        "if_.then_item": lambda bad: Statement.if_(e, [s, bad], [s]),
        "run.stmts": lambda bad: v.run(bad),
        "run.stmts_item": lambda bad: v.run([s, bad]),
        "get.ident": lambda bad: v.get(bad),
    }


@pytest.mark.parametrize("where", sorted(_calls(Fixture())))
def test_wrong_objects_for_every_parameter(where):
    f = Fixture()
    call = _calls(f)[where]
    for bad, valid_literal in BAD_OBJECTS:
        if where == "literal.value" and valid_literal:
            continue
        with pytest.raises((TypeError, ValueError)) as info:
            call(bad)
        expected = UnicodeEncodeError if where == "binary_op.o" and bad is SURROGATE else TypeError
        assert type(info.value) is expected, (bad, info.value)
        f.assert_intact()


def test_wrong_self():
    with pytest.raises(TypeError):
        Velk.run(5, [])
    with pytest.raises(TypeError):
        Velk.get(Expr.literal(1), "x")
    with pytest.raises(TypeError):
        Velk.__repr__(Expr.literal(1))


def test_no_way_around_the_constructors():
    for cls in (Expr, Statement):
        with pytest.raises(TypeError):
            object.__new__(cls)
        with raises_exactly(TypeError, f"No constructor defined for {cls.__name__}"):
            cls.__new__(cls)
    with pytest.raises(TypeError):
        object.__new__(Velk)
    with pytest.raises(TypeError):
        Velk.__new__(Expr)
    v = Velk.__new__(Velk)
    v.run([let("ok", 1)])
    assert v.get("ok") == 1


def test_machines_do_not_pickle_or_copy():
    # Trees do (test_pickling.py); a machine's state does not travel.
    with pytest.raises(TypeError):
        pickle.dumps(Velk())
    with pytest.raises(TypeError):
        copy.deepcopy(Velk())


# --------------------------------------------------------------------------
# Custom sequences


class Seq:
    """A configurable sequence: __len__ and __iter__ may lie, raise or mutate."""

    def __init__(self, items, length=None, fail_at=None, exc=None, on_iter=None):
        self.items = list(items)
        self.length = length
        self.fail_at = fail_at
        self.exc = exc
        self.on_iter = on_iter

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        if self.on_iter:
            self.on_iter(self)
        for i, item in enumerate(list(self.items)):
            if i == self.fail_at:
                raise self.exc
            yield item


def _all_three_ways(seq_factory, f):
    """Give a sequence to then, otherwise and run; return the three outcomes."""
    results = []
    for call in (
        lambda: Statement.if_(Expr.literal(True), seq_factory(), []),
        lambda: Statement.if_(Expr.literal(False), [], seq_factory()),
        lambda: f.machine.run(seq_factory()),
    ):
        try:
            results.append(("ok", call()))
        except BaseException as exc:  # noqa: BLE001
            results.append(("error", exc))
    return results


def test_iteration_raising_value_error_passes_unchanged():
    f = Fixture()
    error = ValueError("iteration broke")
    for status, exc in _all_three_ways(lambda: Seq([f.stmt, f.stmt], fail_at=1, exc=error), f):
        assert status == "error" and exc is error
    f.assert_intact()
    with pytest.raises(KeyError):
        f.machine.run(Seq([let("early", 1)], fail_at=0, exc=KeyError("k")))
    f.assert_intact()


def test_iteration_raising_type_error_gets_the_prefix_and_keeps_the_cause():
    f = Fixture()
    cause = LookupError("root")

    def make():
        err = TypeError("bad step")
        err.__cause__ = cause
        return Seq([f.stmt, f.stmt], fail_at=1, exc=err)

    outcomes = _all_three_ways(make, f)
    for (status, exc), param in zip(outcomes, ["then", "otherwise", "stmts"]):
        assert status == "error" and type(exc) is TypeError
        assert str(exc) == argument_error(param, "bad step")
        assert exc.__cause__ is cause
    f.assert_intact()


def test_iteration_raising_a_type_error_subclass_passes_unchanged():
    class Special(TypeError):
        pass

    f = Fixture()
    error = Special("special")
    for status, exc in _all_three_ways(lambda: Seq([f.stmt], fail_at=0, exc=error), f):
        assert status == "error" and exc is error
    f.assert_intact()


@pytest.mark.parametrize("length", [0, 1, 1000, 10**6, ValueError("no length"), TypeError("no len"), OverflowError("big")],
                         ids=repr)
def test_length_is_only_a_hint(length):
    f = Fixture()
    seq = Seq([let("a", 1), let("b", 2)], length=length)
    v = Velk()
    v.run(seq)
    assert (v.get("a"), v.get("b")) == (1, 2)
    stmt = Statement.if_(Expr.literal(True), seq, [])
    w = Velk()
    w.run([stmt])
    assert (w.get("a"), w.get("b")) == (1, 2)
    f.assert_intact()


def test_sequence_mutating_itself_during_iteration():
    grow = Seq([let("a", 1)], on_iter=lambda self: self.items.append(let("b", 2)))
    v = Velk()
    v.run(grow)
    assert v.get("b") == 2
    assert len(grow.items) == 2

    class Shrinking:
        def __init__(self):
            self.items = [let("a", 1), let("b", 2), let("c", 3)]

        def __getitem__(self, i):
            if i == 1:
                self.items.clear()
            return self.items[i]

    v = Velk()
    v.run(Shrinking())  # the IndexError ends the iteration after one item
    assert v.get("a") == 1
    with raises_panic('Value cannot be found: S("b")'):
        v.get("b")

    items = [let("a", 1)]

    class Endless:
        def __getitem__(self, i):
            if i >= 3:
                raise IndexError
            items.append(let("more", i))
            return items[i]

    v = Velk()
    v.run(Endless())
    assert v.get("more") == 1


def test_run_reentered_from_a_sequences_iter():
    v = Velk()
    seen = []

    def inner(seq):
        v.run([let("inner", "first"), let("shared", 1)])
        seen.append(v.get("shared"))
        seen.append(repr(v).count("S("))

    v.run(Seq([Statement.let("outer", Expr.ident("inner")), let("shared", 2)], on_iter=inner))
    assert seen == [1, 2]
    assert (v.get("inner"), v.get("outer"), v.get("shared")) == ("first", "first", 2)

    # A failing inner run does not disturb the outer one.
    def failing(seq):
        with raises_panic('Value cannot be found: S("nothing")'):
            v.run([let("before", 1), Statement.let("x", Expr.ident("nothing"))])

    v.run(Seq([let("after", 3)], on_iter=failing))
    assert (v.get("before"), v.get("after")) == (1, 3)


def test_get_reentered_from_an_identifiers_index():
    v = Velk()

    class Makes:
        def __index__(self):
            v.run([let(5, "made while converting")])
            return 5

    assert v.get(Makes()) == "made while converting"


def test_bad_index_and_float_methods():
    class BadIndex:
        def __index__(self):
            return "not an int"

    class Boom:
        def __index__(self):
            raise MemoryError("pretend")

        def __float__(self):
            raise ZeroDivisionError("pretend")

    f = Fixture()
    for obj in (BadIndex(), Boom()):
        with pytest.raises(TypeError):
            Expr.literal(obj)
        with pytest.raises(TypeError):
            Expr.ident(obj)
        with pytest.raises(TypeError):
            f.machine.get(obj)
    f.assert_intact()


def test_unencodable_text_inside_a_message():
    class Index:
        def __index__(self):
            raise TypeError("bad \udcff text")

    with pytest.raises(TypeError) as info:
        Expr.ident(Index())
    text = str(info.value)
    text.encode("utf-8")  # nothing unencodable reaches the message
    lines = text.split("\n")
    assert lines[0] == "argument 'id': failed to extract enum PyIdentifier ('U | S')"
    assert lines[1].startswith("- variant U (U): TypeError: failed to extract field PyIdentifier::U.0, caused by TypeError: bad ")
    assert lines[1].endswith(" text")
    assert lines[2] == (
        "- variant S (S): TypeError: failed to extract field PyIdentifier::S.0, caused by TypeError: "
        f"'{Index.__qualname__}' object cannot be converted to 'PyString'"
    )


def test_lone_surrogates_everywhere():
    f = Fixture()
    for call in (
        lambda: Expr.literal(SURROGATE),
        lambda: Expr.ident(SURROGATE),
        lambda: Statement.let(SURROGATE, f.expr),
        lambda: f.machine.get(SURROGATE),
        lambda: f.machine.get("ok" + SURROGATE),
    ):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(UnicodeEncodeError):
        Expr.binary_op(f.expr, SURROGATE, f.expr)
    f.assert_intact()


def test_panics_leave_the_machine_usable_many_times():
    v = Velk()
    for i in range(200):
        with pytest.raises(PanicException):
            v.run([let("i", i), Statement.let("j", Expr.ident("missing"))])
        assert v.get("i") == i
    assert repr(v) == 'Machine { vars: {S("i"): Number(Int(199))} }'


def test_machines_used_from_several_threads():
    v = Velk()
    errors = []

    def work(tid):
        try:
            v.run([let(tid, 0)])
            step = Statement.let(tid, Expr.binary_op(Expr.ident(tid), "+", Expr.literal(1)))
            for _ in range(300):
                v.run([step])
                repr(v)
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert [v.get(t) for t in range(4)] == [300] * 4


def _run_isolated(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=300)


def test_absurd_length_does_not_crash_the_process():
    # Reserving room for sys.maxsize statements cannot work; the call may
    # refuse (as a Python exception) or go on without the hint, but the
    # process survives and a refused run has executed nothing.
    result = _run_isolated(
        """
        import sys, zarn
        class Liar:
            def __len__(self): return sys.maxsize
            def __getitem__(self, i):
                if i: raise IndexError
                return zarn.Statement.let("a", zarn.Expr.literal(1))
        v = zarn.Velk()
        try:
            v.run(Liar())
            print("run ok", v.get("a"))
        except BaseException as exc:
            print("run raised", type(exc).__name__, repr(v))
        try:
            zarn.Statement.if_(zarn.Expr.literal(True), Liar(), [])
            print("if_ ok")
        except BaseException as exc:
            print("if_ raised", type(exc).__name__)
        print("alive")
        """
    )
    assert result.returncode == 0, result.stderr[-2000:]
    lines = result.stdout.splitlines()
    assert lines[-1] == "alive", result.stdout
    assert lines[0] in ("run ok 1", "run raised PanicException Machine { vars: {} }",
                        "run raised MemoryError Machine { vars: {} }"), result.stdout
    assert lines[1] in ("if_ ok", "if_ raised PanicException", "if_ raised MemoryError"), result.stdout
    print(result.stdout)


def test_deep_trees_do_not_crash_the_process():
    result = _run_isolated(
        """
        import zarn
        E, S = zarn.Expr, zarn.Statement
        e = E.literal(0)
        for i in range(2000):
            e = E.binary_op(e, "+", E.literal(1))
        s = S.let("deep", e)
        for i in range(2000):
            s = S.if_(E.literal(True), [s], [])
        v = zarn.Velk()
        v.run([s])
        print("value", v.get("deep"))
        del e, s, v
        print("done")
        """
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert "value 2000" in result.stdout and "done" in result.stdout


# --------------------------------------------------------------------------
# zarn_runtime.bind against mappings that change under it, and interrupts
# from every query the module makes


def _bound(v):
    return sorted(parse_machine_repr(repr(v)))


class ClearsOnIndex:
    """A key whose __index__ empties the dict it is in and litters the freed
    memory with texts of the same size."""

    def __init__(self, target, n=5):
        self.target, self.n, self.litter = target, n, None

    def __index__(self):
        self.target.clear()
        self.litter = ["y" * 1000 for _ in range(100)]
        return self.n


class GrowsOnFloat:
    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.update({f"grown{i}": i for i in range(30)})
        return 0.5


class Pairs(collections.abc.Mapping):
    """A Mapping that is no dict."""

    def __init__(self, pairs):
        self.pairs = dict(pairs)

    def __getitem__(self, key):
        return self.pairs[key]

    def __iter__(self):
        return iter(self.pairs)

    def __len__(self):
        return len(self.pairs)


TEXT_SIZE = 1000  # texts made at run time: the dict holds their only reference


def _mutating_key():
    d = {"s": "x" * TEXT_SIZE}
    d[ClearsOnIndex(d)] = "z" * TEXT_SIZE
    d["t"] = 3
    return d


def _mutating_value():
    d = {"a": 1}
    d["f"] = GrowsOnFloat(d)
    return d


# (mapping maker, the entries bind must bind: what the mapping held when
# the call began)
BIND_CASES = {
    "a key clears the dict": (_mutating_key, {"s": "x" * 1000, 5: "z" * 1000, "t": 3}),
    "a value grows the dict": (_mutating_value, {"a": 1, "f": 0.5}),
    "UserDict": (lambda: collections.UserDict(a=1, b="two"), {"a": 1, "b": "two"}),
    "ChainMap": (lambda: collections.ChainMap({"a": 1}, {"a": 2, "b": 3}), {"a": 1, "b": 3}),
    "os.environ-like": (lambda: os._Environ({b"HOME": b"/h"}, lambda k: k.upper().encode(),
                                            lambda b: b.decode(), lambda s: s.encode(), lambda b: b.decode()),
                        {"HOME": "/h"}),
    "a custom Mapping": (lambda: Pairs([(7, None), ("m", 2.5)]), {7: None, "m": 2.5}),
    "a dict subclass": (lambda: collections.OrderedDict([("a", 1), ("b", True)]), {"a": 1, "b": True}),
}


@pytest.mark.parametrize("make, expected", BIND_CASES.values(), ids=BIND_CASES.keys())
def test_bind_binds_what_the_mapping_held_when_the_call_began(make, expected):
    v = Velk()
    zarn_runtime.bind(v, make())
    twin = Velk()
    twin.run([let(name, value) for name, value in expected.items()])
    assert _bound(v) == _bound(twin)


class ReprRaises:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise ValueError("no index")

    def __repr__(self):
        if self.error is not None:
            raise self.error
        return "ReprRaises()"


# (key, value, the start of the TypeError: the key names the bad entry)
BAD_ENTRIES = {
    "a tuple key": ((1,), 1, "key (1,): failed to extract enum PyIdentifier"),
    "a frozenset key": (frozenset({2}), 1, "key frozenset({2}): failed to extract enum PyIdentifier"),
    "__index__ raises, Python __repr__": (ReprRaises(None), 1, "key ReprRaises(): failed to extract enum PyIdentifier"),
    "__repr__ raises too": (ReprRaises(ValueError("no repr")), 1, "key <repr() failed>: failed to extract"),
    "a list value": ("k", [1], "values['k']: failed to extract enum PyValue"),
    "a value whose __index__ raises": (ReprRaises(None).__repr__(), ReprRaises(None),
                                       "values['ReprRaises()']: failed to extract enum PyValue"),
}


@pytest.mark.parametrize("key, value, start", BAD_ENTRIES.values(), ids=BAD_ENTRIES.keys())
def test_a_bad_entry_is_a_type_error_that_names_its_key(key, value, start):
    for values in ({"ok": 1, key: value}, Pairs([("ok", 1), (key, value)])):
        v = Velk()
        with pytest.raises(TypeError) as info:
            zarn_runtime.bind(v, values)
        assert str(info.value).startswith("argument 'values': " + start)
        assert _bound(v) == []  # nothing of a refused mapping is bound


def _raises_it(error):
    def method(*args):
        raise error
    return method


def _numpy_like_bool(error):
    """A type that passes for numpy's boolean and fails its truth."""
    return type("bool_", (), {"__module__": "numpy", "__bool__": _raises_it(error)})()


def _module_raises(error):
    """An object whose type's __module__ (read by the literal type checks) raises."""
    meta = type("Meta", (type,), {"__module__": property(_raises_it(error))})
    return meta("Odd", (), {})()


def _seq(**methods):
    return type("Seq", (), {"__len__": lambda self: 1, "__getitem__": lambda self, i: [let("a", 1)][i], **methods})()


class ExceptionStrRaises(Exception):
    pass


def _index_error_whose_str_raises(error):
    ExceptionStrRaises.__str__ = _raises_it(error)
    return type("I", (), {"__index__": _raises_it(ExceptionStrRaises())})()


# Each query whose Python code may raise, and the call that makes it.
QUERIES = {
    "a statement list's __len__": lambda e: Velk().run(_seq(__len__=_raises_it(e))),
    "if_'s list's __len__": lambda e: Statement.if_(Expr.literal(1), _seq(__len__=_raises_it(e)), []),
    "the literal type checks": lambda e: Expr.literal(_module_raises(e)),
    "a numpy boolean's truth": lambda e: Expr.literal(_numpy_like_bool(e)),
    "a literal's __index__": lambda e: Expr.literal(type("I", (), {"__index__": _raises_it(e)})()),
    "a literal's __float__": lambda e: Expr.literal(type("F", (), {"__float__": _raises_it(e)})()),
    "an identifier's __index__": lambda e: Velk().get(type("I", (), {"__index__": _raises_it(e)})()),
    "the str of a failed try": lambda e: Expr.ident(_index_error_whose_str_raises(e)),
    "a bound key's __repr__": lambda e: zarn_runtime.bind(Velk(), {"a": 1, ReprRaises(e): 2}),
    "a Mapping's __getitem__": lambda e: zarn_runtime.bind(Velk(), type("M", (Pairs,), {
        "__getitem__": _raises_it(e)})([("a", 1)])),
}


@pytest.mark.parametrize("query", QUERIES.values(), ids=QUERIES.keys())
@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_an_interrupt_from_any_query_reaches_the_caller_unchanged(query, interrupt):
    error = interrupt("from the query")
    with pytest.raises(interrupt) as info:
        query(error)
    assert info.value is error


def test_an_ordinary_error_of_a_query_the_module_ignores_stays_ignored():
    v = Velk()
    v.run(_seq(__len__=_raises_it(ValueError("no length"))))
    assert v.get("a") == 1
    with pytest.raises(TypeError) as info:
        Expr.literal(_module_raises(ValueError("no module")))
    assert "failed to extract enum PyValue" in str(info.value)
