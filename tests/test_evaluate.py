"""Program.evaluate, evaluate_many and with_limits; zarn_runtime.read."""

import inspect
import pickle
import re
import threading
from collections.abc import Mapping

import pytest
import zarn_runtime
from hypothesis import given, settings
from hypothesis import strategies as st
from zarn import Velk
from zarn_runtime import PanicException, bind, read, set_default_limits, set_fault_report

from zarn_text import Program, compile_program

from test_programs import if_lines


@pytest.fixture(autouse=True)
def quiet_defaults():
    set_fault_report(False)
    yield
    set_default_limits()
    set_fault_report(True)


def failure_of(call):
    """(message, notes) of the PanicException `call` raises, or None."""
    try:
        call()
    except PanicException as failure:
        return str(failure), getattr(failure, "__notes__", [])
    return None


# ---- evaluate against Velk + bind + run + read on random programs ------------

NAMES = ["a", "b", "c", "d"]
values = st.one_of(st.none(), st.booleans(), st.integers(-3, 3), st.sampled_from([0.5, -2.0, "", "t", "uv"]))
operands = st.one_of(st.sampled_from(NAMES), values.map(repr))
exprs = st.one_of(operands, st.builds("({} {} {})".format, operands, st.sampled_from("+-*/"), operands))
conditions = st.one_of(st.sampled_from(NAMES),
                       st.builds("{} {} {}".format, exprs, st.sampled_from(["<", ">", "==", "!="]), exprs))
lets = st.builds("{} = {}".format, st.sampled_from(NAMES), exprs).map(lambda line: [line])


blocks = st.recursive(lets, lambda inner: st.one_of(
    st.lists(inner, min_size=2, max_size=3).map(lambda parts: sum(parts, [])),
    st.builds(if_lines, conditions, inner, st.none() | inner)), max_leaves=8)


def by_steps(program, inputs):
    """What evaluate stands for: a fresh machine, bind, run, read."""
    machine = Velk()
    bind(machine, inputs)
    program.run(machine)
    return read(machine, sorted(program.outputs))


@settings(max_examples=200, deadline=None, derandomize=True)
@given(blocks, st.dictionaries(st.sampled_from(NAMES), values), st.data())
def test_evaluate_gives_what_bind_run_and_read_give(lines, inputs, data):
    program = compile_program("\n".join(lines), "rules.txt")
    # Twice, and between two other calls: no call sees another's variables.
    other = data.draw(st.dictionaries(st.sampled_from(NAMES), values))
    rows = [inputs, other, inputs]
    wants = []
    for row in rows:
        try:
            wants.append(by_steps(program, row))
        except PanicException as failure:
            wants.append((str(failure), failure.__notes__))
    for row, want in zip(rows, wants):
        got = failure_of(lambda: program.evaluate(row)) if isinstance(want, tuple) else program.evaluate(row)
        assert got == want
    batch = program.evaluate_many(rows, errors="return")
    assert [r if isinstance(r, dict) else (str(r), r.__notes__) for r in batch] == wants


# ---- one call leaves nothing behind --------------------------------------------


def test_nothing_of_one_call_is_seen_by_the_next():
    branch = compile_program("if c:\n    x = 1\ny = 2")
    assert branch.evaluate({"c": True}) == {"x": 1, "y": 2}
    assert branch.evaluate({"c": False}) == {"y": 2}
    leaks = compile_program("x = 'kept'\nz = missing")
    reads = compile_program("y = x")
    assert failure_of(lambda: leaks.evaluate()) is not None
    assert failure_of(lambda: reads.evaluate())[0] == 'Value cannot be found: S("x")'
    assert reads.evaluate({"x": 3}) == {"y": 3}
    assert failure_of(reads.evaluate)[0] == 'Value cannot be found: S("x")'


class EvaluatingMapping(dict):
    """Inputs whose reading evaluates a program on the same thread, while the
    outer call has not yet taken its machine."""

    def __init__(self, inner):
        super().__init__()
        self.inner = inner

    def items(self):
        return [("x", self.inner.evaluate({"x": 40})["y"])]


def test_a_call_made_while_inputs_are_read_is_a_call_of_its_own():
    program = compile_program("y = x + 1")
    assert program.evaluate(EvaluatingMapping(program)) == {"y": 42}
    assert program.evaluate({"x": 0}) == {"y": 1}


def test_inputs_convert_as_bind_converts_them():
    program = compile_program("y = x")
    assert program.evaluate({"x": 2**63}) == {"y": float(2**63)}
    assert compile_program("pass").evaluate(None) == {}
    with pytest.raises(TypeError, match=r"^argument 'inputs': 'list' object cannot be converted to 'Mapping'$"):
        program.evaluate([("x", 1)])
    with pytest.raises(TypeError, match=r"^argument 'inputs': values\['x'\]: "):
        program.evaluate({"x": object()})
    with pytest.raises(TypeError, match=r"^argument 'inputs': key -1: "):
        program.evaluate({-1: 0})


class Pairs(Mapping):
    """The same entries, read through the general mapping path."""

    def __init__(self, entries):
        self.entries = dict(entries)

    def __getitem__(self, key):
        return self.entries[key]

    def __iter__(self):
        return iter(self.entries)

    def __len__(self):
        return len(self.entries)


class Int(int):
    pass


class Name(str):
    pass


def outcome(call):
    """What a call gives or raises, comparable from one form to another (a
    conversion error without the name of the argument)."""
    try:
        return call()
    except (PanicException, TypeError) as failure:
        return type(failure), re.sub(r"^argument '\w+': ", "", str(failure))


# Entries that the exact-dict shortcut declines at each position of a dict,
# and plain ones it takes; each row's outcome must not depend on the form.
ODD_ENTRIES = [("b", Int(4)), (Name("b"), 4), ("b", 2**70), ("b", "\ud800"), (7, 1), ("unknown", 1), ("other", 1),
               ("y", 9), ("b", object()), (-1, 0), ("".join(["a", "a"]), 2)]


@pytest.mark.parametrize("odd", ODD_ENTRIES)
@pytest.mark.parametrize("position", [0, 1, 2])
def test_inputs_give_the_same_outcome_whatever_form_they_come_in(odd, position):
    program = compile_program("y = aa + b\nz = y\nw = unknown if b == 0 else 0", "rules.txt")
    entries = [("aa", 1), ("b", 0)]
    entries.insert(position, odd)
    inputs = dict(entries)
    want = outcome(lambda: by_steps(program, inputs))
    assert outcome(lambda: program.evaluate(inputs)) == want
    assert outcome(lambda: program.evaluate(Pairs(inputs))) == want
    for row in (inputs, Pairs(inputs)):
        many = outcome(lambda: program.evaluate_many([row], errors="return")[0])
        assert many == want if type(many) is not PanicException else (PanicException, str(many)) == want


def test_evaluate_binds_its_arguments_as_every_method_does():
    program = compile_program("y = 1")
    assert program.evaluate() == program.evaluate(None) == {"y": 1}
    assert str(inspect.signature(Program.evaluate)) == "(self, inputs=None, /)"
    with pytest.raises(TypeError, match=r"^Program\.evaluate\(\) takes from 0 to 1 positional arguments but 2 were given$"):
        program.evaluate({}, {})
    with pytest.raises(TypeError, match=r"positional-only arguments passed as keyword arguments: 'inputs'$"):
        program.evaluate(inputs={})  # type: ignore[call-arg]
    with pytest.raises(TypeError, match=r"^descriptor 'evaluate' for 'Program' objects doesn't apply"):
        Program.evaluate(object())  # type: ignore[arg-type]


def test_a_failure_has_the_notes_of_run():
    program = compile_program("x = 1\nif x > 0:\n    y = x + 'a'", "rules.txt")
    message, notes = failure_of(lambda: program.evaluate())
    assert (message, notes) == failure_of(lambda: program.run(Velk()))
    assert notes[-1] == '  File "rules.txt", line 3\n    y = x + \'a\''


def test_an_error_while_noting_a_failure_has_the_failure_as_its_context(monkeypatch):
    def broken(self, failure):
        raise KeyError("notes")

    monkeypatch.setattr(Program, "_note_failure", broken)
    with pytest.raises(KeyError) as raised:
        compile_program("y = x").evaluate()
    assert type(raised.value.__context__) is PanicException


# ---- limits ------------------------------------------------------------------------

LOOPING = "s = 'ab'\ns = s + s\ns = s + s\ns = s + s"


def test_limits_are_the_defaults_at_the_moment_of_the_call():
    program = compile_program(LOOPING)
    assert program.evaluate() == {"s": "ab" * 8}
    set_default_limits(max_text=8)
    assert failure_of(program.evaluate)[0] == "Limit exceeded: max_text=8"
    set_default_limits(max_steps=3)
    assert failure_of(program.evaluate)[0] == "Limit exceeded: max_steps=3"
    set_default_limits()
    assert program.evaluate() == {"s": "ab" * 8}


def test_a_program_with_limits_of_its_own_ignores_the_defaults():
    program = compile_program(LOOPING)
    limited = program.with_limits(max_bytes=10)
    assert limited is not program and limited.source == program.source
    set_default_limits(max_text=2)
    assert failure_of(limited.evaluate)[0] == "Limit exceeded: max_bytes=10"
    assert failure_of(lambda: limited.evaluate({"t": "x" * 11}))[0] == "Limit exceeded: max_bytes=10"
    unlimited = program.with_limits()
    assert unlimited.evaluate() == {"s": "ab" * 8}
    assert failure_of(program.evaluate)[0] == "Limit exceeded: max_text=2"
    set_default_limits()
    # The limits travel with the program through pickle.
    assert failure_of(pickle.loads(pickle.dumps(limited)).evaluate)[0] == "Limit exceeded: max_bytes=10"


@pytest.mark.parametrize("keywords, error", [
    ({"max_steps": -1}, ValueError), ({"max_text": True}, TypeError), ({"max_bytes": "1"}, TypeError)])
def test_with_limits_refuses_what_set_limits_refuses(keywords, error):
    program = compile_program("x = 1")
    with pytest.raises(error) as ours:
        program.with_limits(**keywords)
    with pytest.raises(error) as theirs:
        zarn_runtime.set_limits(Velk(), **keywords)
    assert str(ours.value) == str(theirs.value)


# ---- batches ------------------------------------------------------------------------

ROWS = [{"x": 1}, {"x": "a"}, {"x": 3}, {}]


def test_evaluate_many_returns_failures_in_their_places():
    program = compile_program("y = x * 2", "double.txt")
    first, second, third, fourth = program.evaluate_many(iter(ROWS), errors="return")
    assert (first, third) == ({"y": 2}, {"y": 6})
    for failure, message in ((second, "Binary operator for unknown type"), (fourth, 'Value cannot be found: S("x")')):
        assert type(failure) is PanicException and str(failure).startswith(message)
        assert failure.__notes__[-1] == '  File "double.txt", line 1\n    y = x * 2'


def test_evaluate_many_raises_the_first_failure():
    program = compile_program("y = x * 2", "double.txt")
    want = failure_of(lambda: program.evaluate(ROWS[1]))
    assert failure_of(lambda: program.evaluate_many(ROWS)) == want
    assert program.evaluate_many([]) == []
    assert program.evaluate_many(ROWS[:1] * 3) == [{"y": 2}] * 3


@pytest.mark.parametrize("errors", ["raise", "return"])
def test_rows_that_do_not_convert_raise_in_both_modes(errors):
    program = compile_program("y = x")
    with pytest.raises(TypeError, match="^argument 'rows': 'int' object cannot be converted to 'Mapping'$"):
        program.evaluate_many([{"x": 1}, 5], errors=errors)
    with pytest.raises(ZeroDivisionError):
        program.evaluate_many(({"x": 1 // n} for n in (1, 0)), errors=errors)


def test_errors_must_be_raise_or_return():
    with pytest.raises(ValueError, match="errors must be 'raise' or 'return', not 'ignore'"):
        compile_program("x = 1").evaluate_many([], errors="ignore")  # type: ignore[arg-type]


# ---- threads -----------------------------------------------------------------------


def test_threads_evaluate_one_program_at_once():
    program = compile_program("if n > 10:\n    big = n\nhalf = n / 2\nnote = 'n' + ' done'")
    errors = []

    def work(offset):
        try:
            for n in range(offset, offset + 300):
                want = {"half": n // 2, "note": "n done", **({"big": n} if n > 10 else {})}
                assert program.evaluate({"n": n}) == want
                assert program.evaluate_many([{"n": n}, {}], errors="return")[0] == want
        except BaseException as error:  # noqa: BLE001  (reported below)
            errors.append(error)

    threads = [threading.Thread(target=work, args=(i * 7,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []


# ---- read ------------------------------------------------------------------------------


def test_read_gives_the_bound_names_only():
    machine = Velk()
    bind(machine, {"a": 1, "b": "two", 3: None})
    names = iter(["b", "missing", 3, "a"])
    assert list(read(machine, names).items()) == [("b", "two"), (3, None), ("a", 1)]
    assert read(machine, []) == {}


@pytest.mark.parametrize("machine, names, message", [
    (object(), ["a"], "argument 'machine': 'object' object cannot be converted to 'Velk'"),
    (None, ["a"], "argument 'machine': 'NoneType' object cannot be converted to 'Velk'"),
    ("velk", "a", "argument 'machine': 'str' object cannot be converted to 'Velk'"),
    (True, "a", "argument 'machine': 'bool' object cannot be converted to 'Velk'"),
])
def test_read_refuses_what_is_not_a_machine(machine, names, message):
    with pytest.raises(TypeError) as raised:
        read(machine, names)
    assert str(raised.value) == message


def test_read_refuses_bad_names():
    with pytest.raises(TypeError, match="^argument 'names': must be an iterable of names, not str$"):
        read(Velk(), "ab")
    with pytest.raises(TypeError, match="^argument 'names': failed to extract enum PyIdentifier"):
        read(Velk(), [1.5])
    with pytest.raises(TypeError):
        read(Velk(), 5)


def test_limits_are_read_whole_from_a_dict_that_an_index_empties():
    # The native evaluator takes with_limits' keywords as a dict; the
    # __index__ of one limit empties it while the last one, held by the dict
    # alone, is still to be read.
    class Emptying:
        def __index__(self):
            limits.clear()
            return 1000

    destroyed = []

    class Two:
        def __index__(self):
            assert not destroyed, "read after it was destroyed"
            return 2

        def __del__(self):
            destroyed.append(True)

    program = compile_program("x = 1\ny = 2\nz = 3")
    limits = {"max_text": Emptying(), "max_steps": Two()}
    evaluator = zarn_runtime._evaluator(program._statements, program._inputs, program._outputs, limits)
    assert limits == {}
    with pytest.raises(PanicException, match="^Limit exceeded: max_steps=2\n"):
        zarn_runtime._evaluate_many(evaluator, [None], False)
