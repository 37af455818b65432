"""Random programs run on zarn.Velk and on the reference model must agree."""

import math
import struct

import zarn
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import reference_model as model
from support import PanicException, build_stmt, parse_machine_repr

MIN, MAX = model.INT_MIN, model.INT_MAX
INT_NAMES = [0, 1]
NUMBER_NAMES = INT_NAMES + [4294967295]
TEXT_NAMES = ["x", "é\u0301"]
ANY_NAMES = ["y", "1"]
UNBOUND_NAMES = ["z", 7]  # left out of the prelude
IDENTIFIERS = TEXT_NAMES + ANY_NAMES + NUMBER_NAMES + UNBOUND_NAMES

NAN_BITS = [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF8000000000123]

ints = st.one_of(
    st.sampled_from([MIN, MAX, 0, 1, -1, 2, -2, 3, 7, -7, MIN + 1, MAX - 1, 2**32, 2**53, 2**53 + 1, -(2**62)]),
    # Hypothesis favours small integers; eight random bytes reach the whole range.
    st.binary(min_size=8, max_size=8).map(lambda b: int.from_bytes(b, "little", signed=True)),
    st.integers(-100, 100),
)
floats = st.one_of(
    st.sampled_from([0.0, -0.0, 0.5, -1.5, 1.0, math.inf, -math.inf, 2.0**53, 2.0**63, 5e-324, 1e308, -1e308, 0.1]),
    st.sampled_from(NAN_BITS).map(lambda b: struct.unpack("<d", struct.pack("<Q", b))[0]),
    st.floats(allow_nan=False),
)
texts = st.text(alphabet=st.sampled_from('ab"\\\n\t\0 é\u0301€😀\u200b\x1b'), max_size=4)
literals = st.one_of(
    st.none(),
    st.booleans(),
    ints,
    floats,
    texts,
    st.sampled_from([2**63, -(2**63) - 1, 2**64 + 3]),  # ints that become floats
)

names = st.sampled_from(IDENTIFIERS)
small_ints = st.sampled_from([MIN, 0, -1, MAX, 1, 2, -2, 3, 7, -7])  # the two division faults, rounding
# Zeros, infinities and NaNs meet often enough to make NaNs and signed zeros.
special_floats = st.sampled_from([0.0, -0.0, math.inf, -math.inf, math.nan, -math.nan])


@st.composite
def trees(draw, leaf, combiners, max_leaves):
    """A tree over up to ``max_leaves`` leaves, joined by random combiners."""
    pool = draw(st.lists(leaf, min_size=1, max_size=max_leaves))
    while len(pool) > 1:
        a = pool.pop(draw(st.integers(0, len(pool) - 1)))
        b = pool.pop(draw(st.integers(0, len(pool) - 1)))
        pool.append(draw(st.sampled_from(combiners))(a, b))
    return pool[0]


ARITHMETIC = [lambda a, b, op=op: model.binop(a, op, b) for op in model.OPERATORS]


def _with(op, value):
    return lambda a, b: model.binop(a, op, model.lit(value))


# Steps that push integers over the 64-bit edges and into the two division
# faults, and floats into signed zeros, infinities and NaNs.
INT_EDGES = [_with("/", 0), _with("/", -1), _with("*", -1), _with("+", 1), _with("-", 1), _with("*", 2**62)]
FLOAT_EDGES = [
    _with("/", 0.0), _with("/", -0.0), _with("*", 0.0), _with("*", 1e308), _with("/", 0),
    lambda a, b: model.binop(a, "-", a),
    lambda a, b: model.binop(a, "/", a),
]
COMPARISONS = [model.eq, model.gt, model.lt, lambda a, b: model.not_(model.eq(a, b))]
LOGIC = [model.eq, lambda a, b: model.not_(model.eq(a, b)), lambda a, b: model.eq(model.not_(a), b)]

# Untyped trees mostly fail on a kind check; the typed ones get deep into
# arithmetic, joining and comparisons before anything can fail.
integral = trees(
    st.one_of(ints.map(model.lit), small_ints.map(model.lit), st.sampled_from(INT_NAMES).map(model.ident)),
    ARITHMETIC * 2 + INT_EDGES,
    max_leaves=6,
)
numeric = trees(
    st.one_of(
        integral,
        floats.map(model.lit),
        special_floats.map(model.lit),
        st.sampled_from(NUMBER_NAMES).map(model.ident),
    ),
    ARITHMETIC * 2 + FLOAT_EDGES,
    max_leaves=4,
)
textual = trees(
    st.one_of(texts.map(model.lit), st.sampled_from(TEXT_NAMES).map(model.ident), names.map(model.ident)),
    [lambda a, b: model.binop(a, "+", b)] * 6 + ARITHMETIC[1:],
    max_leaves=4,
)
boolean = trees(
    st.one_of(
        st.booleans().map(model.lit),
        st.builds(model.gt, numeric, numeric),
        st.builds(model.lt, numeric, numeric),
        st.builds(model.eq, numeric, numeric),
        st.builds(model.eq, textual, textual),
    ),
    LOGIC,
    max_leaves=3,
)
untyped = trees(
    st.one_of(literals.map(model.lit), names.map(model.ident)),
    ARITHMETIC + COMPARISONS + [lambda a, b: model.not_(a)],
    max_leaves=6,
)
exprs = st.one_of(integral, numeric, integral, numeric, textual, boolean, untyped)
conditions = st.one_of(boolean, boolean, untyped)
# Number and text variables mostly keep their kind; the others take anything.
lets = st.one_of(
    st.builds(model.let, st.sampled_from(INT_NAMES), integral),
    st.builds(model.let, st.just(NUMBER_NAMES[-1]), numeric),
    st.builds(model.let, st.sampled_from(TEXT_NAMES), textual),
    st.builds(model.let, names, exprs),
)


def _extend_statements(children):
    branch = st.lists(children, max_size=3)
    return st.builds(model.if_, conditions, branch, branch)


statements = st.recursive(lets, _extend_statements, max_leaves=6)
# Every identifier starts bound, so that fewer runs end at a missing variable.
prelude = st.tuples(
    *[st.builds(model.let, st.just(n), ints.map(model.lit)) for n in INT_NAMES],
    st.builds(model.let, st.just(4294967295), st.one_of(ints, floats).map(model.lit)),
    *[st.builds(model.let, st.just(n), texts.map(model.lit)) for n in TEXT_NAMES],
    *[st.builds(model.let, st.just(n), literals.map(model.lit)) for n in ANY_NAMES],
).map(list)
programs = st.tuples(prelude, st.lists(st.lists(statements, max_size=4), min_size=1, max_size=5)).map(
    lambda p: [p[0] + p[1][0]] + p[1][1:]
)



def _real(call):
    try:
        return ("ok", call())
    except PanicException as exc:
        return ("panic", str(exc))


def _modelled(call):
    try:
        return ("ok", call())
    except model.ModelError as exc:
        return ("panic", exc.message)


@settings(max_examples=400, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(programs)
def test_random_programs_agree_with_the_model(runs):
    machine, reference = zarn.Velk(), model.Machine()
    for number, run in enumerate(runs):
        built = [build_stmt(s) for s in run]
        try:
            expected = _modelled(lambda: reference.run(run))
        except model.Indeterminate:
            event("stopped at an ordering of a NaN with an open sign")
            return
        actual = _real(lambda: machine.run(built))
        if expected[0] == "ok":
            expected = ("ok", None)
        assert actual == expected, f"run {number}"
        event(f"run ends with {expected[1] if expected[0] == 'panic' else 'success'}")

        for name in IDENTIFIERS:
            want = _modelled(lambda: reference.get(name))
            got = _real(lambda: machine.get(name))
            assert got[0] == want[0], (name, got, want)
            if want[0] == "panic":
                assert got == want, name
            else:
                assert model.same_value(got[1], want[1]), (name, got[1], want[1])
        assert sorted(parse_machine_repr(repr(machine))) == sorted(reference.entries())


# Single operations over values near every edge: cheap, so many examples.
edge_values = st.one_of(
    ints,
    small_ints,
    floats,
    special_floats,
    st.sampled_from([1.0, -1.0, 0.5, 7.0, -7.0, 2.0**53, -(2.0**63), 2.0**63]),
    texts,
    st.none(),
    st.booleans(),
)
UNARY = {"not": model.not_}
BINARY = {
    **{op: (lambda a, b, op=op: model.binop(a, op, b)) for op in model.OPERATORS},
    "==": model.eq,
    ">": model.gt,
    "<": model.lt,
}


@settings(max_examples=3000, derandomize=True, deadline=None)
@given(st.sampled_from(sorted(BINARY) + ["not"]), edge_values, edge_values, st.booleans())
def test_single_operations_agree_with_the_model(operation, left, right, through_variables):
    a, b = model.lit(left), model.lit(right)
    if through_variables:  # read the operands back from the store
        prelude = [model.let("l", a), model.let(5, b)]
        a, b = model.ident("l"), model.ident(5)
    else:
        prelude = []
    expr = UNARY[operation](a) if operation in UNARY else BINARY[operation](a, b)
    program = prelude + [model.let("r", expr)]
    reference = model.Machine()
    try:
        expected = _modelled(lambda: reference.run(program))
    except model.Indeterminate:
        return
    machine = zarn.Velk()
    assert _real(lambda: machine.run([build_stmt(s) for s in program])) == (expected[0], None if expected[0] == "ok" else expected[1])
    want = _modelled(lambda: reference.get("r"))
    got = _real(lambda: machine.get("r"))
    assert got[0] == want[0]
    assert model.same_value(got[1], want[1]) if want[0] == "ok" else got == want, (got, want)
