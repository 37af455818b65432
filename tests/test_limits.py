"""Limits per machine, the place of a failing statement, and the switch of
the fault report: what a host needs to run rules it did not write."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest
import zarn_runtime
from zarn import Expr, Statement, Velk
from zarn_runtime import set_default_limits, set_limits
from zarn_text import compile_statements

from support import PanicException, parse_machine_repr, raises_panic
from test_memory_limit import needs_address_space_limit

lit, ident, let, if_ = Expr.literal, Expr.ident, Statement.let, Statement.if_
TRUE = lit(True)

DOUBLING = 's = "0123456789abcdef"\n' + "s = s + s\n" * 26  # 16 << 26 bytes: 1 GiB


def run(machine, text):
    machine.run(compile_statements(text))


def doubling_tree(levels):
    """65 objects that expand to 2**levels + 1 ... nodes."""
    e = ident("x")
    for _ in range(levels):
        e = Expr.binary_op(e, "+", e)
    return e


def test_a_join_past_max_text_fails_before_it_allocates_and_the_machine_lives_on():
    v = Velk()
    set_limits(v, max_text=1 << 20)
    with raises_panic("Limit exceeded: max_text=1048576") as info:
        run(v, DOUBLING)
    # Statement 16 made 16 << 16 = 1 MiB; statement 17 would have made 2 MiB.
    assert info.value.place == (17,)
    assert len(v.get("s")) == 1 << 20
    run(v, 't = s + ""')
    assert len(v.get("t")) == 1 << 20


def test_max_bytes_counts_what_the_variables_hold():
    v = Velk()
    set_limits(v, max_bytes=100)
    run(v, 'a = "' + "x" * 30 + '"')
    run(v, "b = a + a")  # 30 + 60 held
    with raises_panic("Limit exceeded: max_bytes=100"):
        run(v, 'c = a + "' + "y" * 11 + '"')  # 41 more would make 131
    with pytest.raises(PanicException):
        v.get("c")
    run(v, 'b = "short"')  # a shrinking binding gives its bytes back
    run(v, "c = a + a")  # 30 + 5 + 60
    # Growing one variable up to the limit, one byte at a time.
    run(v, 'b = ""\nc = ""')
    for _ in range(70):
        run(v, 'a = a + "z"')
    assert len(v.get("a")) == 100
    with raises_panic("Limit exceeded: max_bytes=100"):
        run(v, 'a = a + "z"')
    assert len(v.get("a")) == 100


def test_max_bytes_set_late_counts_the_text_already_held():
    v = Velk()
    run(v, 'a = "' + "x" * 80 + '"')
    set_limits(v, max_bytes=100)
    run(v, 'b = "' + "y" * 20 + '"')
    with raises_panic("Limit exceeded: max_bytes=100"):
        run(v, 'c = "z"')


def test_the_joins_of_one_statement_count_against_max_bytes():
    # Nested joins keep their operands alive: (a+a) + ((a+a) + ...).
    v = Velk()
    set_limits(v, max_text=1000, max_bytes=3000)
    run(v, 'a = "' + "x" * 250 + '"')
    with raises_panic("Limit exceeded: max_bytes=3000"):
        run(v, "b = (a + a) + ((a + a) + ((a + a) + ((a + a) + (a + a))))")


@pytest.mark.parametrize("text, steps", [
    ("x = 1", 2),
    ("x = 1 + 2", 4),
    ("x = 1\ny = x", 4),
    ("if 1 < 2:\n    x = 1\nelse:\n    x = 2", 6),  # the branch not taken costs nothing
    ("if not (1 > 2):\n    pass", 5),
    ("x = 3\nif (1 + 2) > x:\n    pass", 8),
])
def test_steps_count_statements_and_nodes(text, steps):
    program = compile_statements(text)
    v = Velk()
    set_limits(v, max_steps=steps)
    v.run(program)
    v.run(program)  # the count is per run
    set_limits(v, max_steps=steps - 1)
    with raises_panic(f"Limit exceeded: max_steps={steps - 1}"):
        v.run(program)


A = "a" * 128  # two steps of text work, at one step per 64 bytes
B = "b" * 128


@pytest.mark.parametrize("text, steps", [
    (f'x = "{A}" + "{B}"', 1 + 3 + 4),  # a join: the bytes it makes
    (f'x = "{"a" * 63}" + "b"', 1 + 3 + 1),
    (f'x = "{"a" * 62}" + "b"', 1 + 3 + 0),  # whole 64-byte blocks only
    (f'x = "{A}" == "{B}"', 1 + 3 + 2),  # equal lengths: compared byte by byte
    (f'x = "{A}" == "{A}a"', 1 + 3),  # different lengths: unequal at once
    (f'x = "{A}" == 1', 1 + 3),
    (f's = "{A}"\nt = s', 2 + 2),  # binding and reading share the text
    ("v" * 130 + " = 1\ny = " + "v" * 130, (2 + 2) + (2 + 2)),  # a long name, bound and read
    ("x = " + '("" + ' * 60 + f'"{A}"' + ")" * 60, 1 + 121 + 60 * 2),  # deeper than the recursive walk
])
def test_text_work_costs_a_step_per_64_bytes(text, steps):
    test_steps_count_statements_and_nodes(text, steps)


@pytest.mark.parametrize("max_steps, message", [
    (10, "Binary operator for unknown type"),  # the join fits, then its result meets an Int
    (9, "Limit exceeded: max_steps=9"),  # the join's bytes do not fit: it never runs
])
def test_a_statement_stops_where_a_walk_node_by_node_stops(max_steps, message):
    # 1 + 5 nodes + 4 for the join; charged at once when it fits, else node by node.
    v = Velk()
    set_limits(v, max_steps=max_steps)
    with raises_panic(message):
        run(v, f'x = ("{A}" + "{B}") + 1')


@pytest.mark.parametrize("rule, steps", [
    ("y = s == t", 1 + 3 + 8192),  # 512 KiB compared
    ("y = s + t", 1 + 3 + 16384),  # 1 MiB made
    ("if s == t:\n    y = 1", (1 + 3 + 8192) + 2),
])
def test_a_text_heavy_rule_runs_out_of_steps_under_the_recommended_limits(rule, steps):
    v = Velk()
    set_limits(v, max_text=1 << 20, max_bytes=16 << 20, max_steps=100_000)
    v.run([let("s", lit("a" * (1 << 19))), let("t", lit("a" * (1 << 19)))])
    with raises_panic("Limit exceeded: max_steps=100000") as info:
        v.run(compile_statements(rule) * 25)
    assert info.value.place[0] == 100_000 // steps


def test_a_shared_tree_of_65_objects_is_stopped_by_max_steps():
    v = Velk()
    run(v, "x = 1")
    set_limits(v, max_steps=100_000)
    for statement in [let("y", doubling_tree(64)), if_(doubling_tree(64), [], [])]:
        with raises_panic("Limit exceeded: max_steps=100000"):
            v.run([statement])
    assert "y" not in parse_machine_repr(repr(v))


def test_default_limits_apply_to_machines_made_afterwards():
    before = Velk()
    set_default_limits(max_steps=1)
    try:
        after = Velk()
        with raises_panic("Limit exceeded: max_steps=1"):
            run(after, "x = 1")
        run(before, "x = 1")
    finally:
        set_default_limits()
    run(Velk(), "x = 1")


@pytest.mark.parametrize("value, error, message", [
    ("1", TypeError, "argument 'max_steps': 'str' object cannot be converted to 'int | None'"),
    (1.0, TypeError, "argument 'max_steps': 'float' object cannot be converted to 'int | None'"),
    (True, TypeError, "argument 'max_steps': 'bool' object cannot be converted to 'int | None'"),
    (-1, ValueError, "max_steps must not be negative"),
])
def test_bad_limits_are_refused(value, error, message):
    v = Velk()
    for call in (lambda: set_limits(v, max_steps=value), lambda: set_default_limits(max_steps=value)):
        with pytest.raises(error) as info:
            call()
        assert str(info.value) == message
    run(v, "x = 1")  # nothing was set


def test_set_limits_wants_a_machine_and_keywords():
    with pytest.raises(TypeError, match="^argument 'machine': 'Expr' object cannot be converted to 'Velk'$"):
        set_limits(TRUE, max_steps=1)
    with pytest.raises(TypeError):
        set_limits(Velk(), 1)
    set_limits(Velk(), max_text=2**70)  # beyond any text: no limit


@pytest.mark.parametrize("program, place", [
    ([let("a", lit(1)), let("b", ident("nope"))], (1,)),
    ([if_(TRUE, [let("a", ident("nope"))], [])], (0, "then", 0)),
    ([let("a", lit(1)), if_(lit(False), [], [let("a", lit(2)), if_(TRUE, [if_(ident("nope"), [], [])], [])])],
     (1, "otherwise", 1, "then", 0)),
    # A failing condition names its `if`.
    ([if_(TRUE, [let("a", lit(1)), if_(lit(1), [], [])], [])], (0, "then", 1)),
])
def test_a_failure_of_run_names_its_statement(program, place):
    path = "stmts[%d]" % place[0] + "".join(f".{place[i]}[{place[i + 1]}]" for i in range(1, len(place), 2))
    expected_note = "in statement " + path
    for given in (program, tuple(program), _Sequence(program)):
        with pytest.raises(PanicException) as info:
            Velk().run(given)
        assert info.value.place == place
        assert info.value.__notes__ == [expected_note]
        assert info.value.args == (str(info.value),)


def test_places_through_deep_one_statement_chains():
    # A run of one statement follows its first 64 levels without frames and
    # runs the rest from frames.
    for depth in (63, 64, 65, 100):
        inner, place = [let("b", ident("nope"))], ()
        for level in range(depth):
            inner = [if_(TRUE, inner, [])] if level % 2 else [if_(lit(False), [], inner)]
            place = ("then" if level % 2 else "otherwise", 0) + place
        with pytest.raises(PanicException) as info:
            Velk().run(inner)
        assert info.value.place == (0,) + place
    chain = [let("b", ident("nope"))]
    for _ in range(70):
        chain = [if_(TRUE, chain, [])]
    with pytest.raises(PanicException) as info:
        Velk().run([let("a", lit(1)), *chain])
    assert info.value.place == (1,) + ("then", 0) * 70


def test_get_failures_have_no_place():
    with pytest.raises(PanicException) as info:
        Velk().get("x")
    assert not hasattr(info.value, "place") and not hasattr(info.value, "__notes__")


class _Sequence:
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def python(code):
    """Runs ``code`` in a fresh interpreter; stdout, stderr and the exit code."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=300)
    return result.stdout, result.stderr, result.returncode


def test_the_fault_report_can_be_switched_off_and_on():
    out, err, code = python("""
        import zarn, zarn_runtime
        def fail():
            try:
                zarn.Velk().get("x")
            except zarn_runtime.PanicException as e:
                return str(e)
        zarn_runtime.set_fault_report(False)
        print(fail())
        zarn_runtime.set_fault_report(True)
        print(fail())
    """)
    assert code == 0, err
    assert out == 'Value cannot be found: S("x")\n' * 2
    assert err.count("faulted at") == 1 and err.endswith('Value cannot be found: S("x")\n')


@needs_address_space_limit
def test_a_memory_bomb_with_limits_set_leaves_the_process_alive():
    out, err, code = python(f"""
        import resource
        from zarn import Velk
        from zarn_runtime import PanicException, set_default_limits
        from zarn_text import compile_statements
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.getrlimit(resource.RLIMIT_AS)[1]))
        set_default_limits(max_text=1 << 20, max_bytes=1 << 24, max_steps=1 << 20)
        v = Velk()
        try:
            v.run(compile_statements({(DOUBLING + "s = s + s\n" * 14)!r}))
        except PanicException as e:
            print(e)
        print(len(v.get("s")))
    """)
    assert code == 0, err
    assert out == "Limit exceeded: max_text=1048576\n1048576\n"


def test_bind_binds_a_mapping_as_lets_of_literals_would():
    import collections

    v = Velk()
    zarn_runtime.bind(v, {"a": 1, 7: "seven", "f": 2.5, "n": None, "t": True, "big": 2**63})
    zarn_runtime.bind(v, collections.OrderedDict([("a", 2), ("a2", -1)]))
    expected = Velk()
    run(expected, 'a = 2\nf = 2.5\nn = None\nt = True\nbig = 9223372036854775808\na2 = -1')
    expected.run([let(7, lit("seven"))])
    assert sorted(parse_machine_repr(repr(v))) == sorted(parse_machine_repr(repr(expected)))
    for bad, message in [({"x": 1, "y": [1]}, "argument 'values': values['y']: failed to extract enum PyValue"),
                         ({"x": 1, -1: 2}, "argument 'values': key -1: failed to extract enum PyIdentifier"),
                         ([("x", 1)], "argument 'values': 'list' object cannot be converted to 'Mapping'")]:
        with pytest.raises(TypeError) as info:
            zarn_runtime.bind(v, bad)
        assert str(info.value).startswith(message)
        with pytest.raises(PanicException):
            v.get("x")  # nothing of a refused mapping is bound
    set_limits(v, max_bytes=len(repr(v)))  # room for a little more text only
    with raises_panic(f"Limit exceeded: max_bytes={len(repr(v))}"):
        zarn_runtime.bind(v, {"long": "x" * 1000})
