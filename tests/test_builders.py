"""The Expr and Statement builders and the statement-list conversion."""

import collections
import sys

import pytest
import zarn

from support import argument_error, evaluate, raises_exactly, raises_panic

Expr, Statement, Velk = zarn.Expr, zarn.Statement, zarn.Velk

T, F = Expr.literal(True), Expr.literal(False)


def let(name, value):
    return Statement.let(name, Expr.literal(value))


def incr(name):
    return Statement.let(name, Expr.binary_op(Expr.ident(name), "+", Expr.literal(1)))


def test_every_builder_returns_a_new_object_of_its_class():
    a, b = Expr.literal(1), Expr.literal(2)
    exprs = [
        Expr.literal(None),
        Expr.ident("x"),
        Expr.binary_op(a, "+", b),
        Expr.equals(a, b),
        Expr.not_(a),
        Expr.greater_than(a, b),
        Expr.less_than(a, b),
    ]
    stmts = [Statement.let("x", a), Statement.if_(a, [], ())]
    assert all(type(e) is Expr for e in exprs)
    assert all(type(s) is Statement for s in stmts)
    objs = exprs + stmts + [a, b]
    assert len({id(o) for o in objs}) == len(objs)


def test_builders_accept_programs_that_fail_only_when_run():
    # Nothing is checked at build time beyond the conversions.
    Expr.binary_op(Expr.literal("a"), "-", Expr.literal("b"))
    Expr.not_(Expr.literal(5))
    Statement.if_(Expr.literal(None), [], [])
    Statement.let("x", Expr.ident("nobody binds this"))


def test_trees_do_not_depend_on_their_operand_objects():
    x = Expr.literal(40)
    total = Expr.binary_op(x, "+", Expr.literal(2))
    stmt = Statement.let("t", total)
    del x, total
    v = Velk()
    v.run([stmt])
    v.run([stmt])  # the statement object is not consumed by a run
    assert v.get("t") == 42
    w = Velk()
    w.run([stmt])
    assert w.get("t") == 42


def test_if_branches_are_copied_at_build_time():
    then = [let("a", 1)]
    otherwise = [let("b", 2)]
    stmt = Statement.if_(T, then, otherwise)
    then.append(let("c", 3))
    then[0] = let("a", 99)
    otherwise.clear()
    v = Velk()
    v.run([stmt, Statement.if_(F, then, [let("d", 4)])])
    assert v.get("a") == 1
    assert "S(\"c\")" not in repr(v) and "S(\"b\")" not in repr(v)
    assert v.get("d") == 4


def test_same_statement_twice_in_one_list_runs_twice():
    v = Velk()
    step = incr("n")
    v.run([let("n", 0), step, step])
    assert v.get("n") == 2
    v.run((step,) * 5)
    assert v.get("n") == 7
    nested = Statement.if_(T, [step, step], [])
    v.run([nested, nested])
    assert v.get("n") == 11


@pytest.mark.parametrize("seq_factory", [
    lambda s: [],
    lambda s: (),
    lambda s: b"",
    lambda s: range(0),
    lambda s: bytearray(),
    lambda s: [s],
    lambda s: (s,),
    lambda s: collections.deque([s, s]),
    lambda s: collections.UserList([s]),
], ids=["list", "tuple", "bytes", "range", "bytearray", "list1", "tuple1", "deque", "UserList"])
def test_accepted_sequences(seq_factory):
    step = incr("n")
    expected = len(seq_factory(step))
    for use in ("then", "otherwise", "stmts"):
        v = Velk()
        v.run([let("n", 0)])
        if use == "stmts":
            v.run(seq_factory(step))
        else:
            branch = use == "then"
            v.run([Statement.if_(Expr.literal(branch), **{use: seq_factory(step)},
                                 **{("otherwise" if branch else "then"): []})])
        assert v.get("n") == expected


class GetItemOnly:
    """A sequence through __getitem__ alone (no __iter__, no __len__)."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


class ListSub(list):
    """A list that is not exactly a list: iterated, not read in place."""


class IterOnly:
    def __iter__(self):
        return iter([])


def _generator():
    yield let("g", 1)


NOT_SEQUENCES = [
    (5, "'int' object cannot be converted to 'Sequence'"),
    (None, "'NoneType' object cannot be converted to 'Sequence'"),
    ({let("s", 1)}, "'set' object cannot be converted to 'Sequence'"),
    (frozenset(), "'frozenset' object cannot be converted to 'Sequence'"),
    ({}, "'dict' object cannot be converted to 'Sequence'"),
    ({"k": 1}.keys(), "'dict_keys' object cannot be converted to 'Sequence'"),
    (_generator(), "'generator' object cannot be converted to 'Sequence'"),
    (iter([]), "'list_iterator' object cannot be converted to 'Sequence'"),
    (IterOnly(), "'IterOnly' object cannot be converted to 'Sequence'"),
    (Expr.literal(1), "'Expr' object cannot be converted to 'Sequence'"),
    (let("x", 1), "'Statement' object cannot be converted to 'Sequence'"),
    ("", "Can't extract `str` to `Vec`"),
    ("abc", "Can't extract `str` to `Vec`"),
    (type("S", (str,), {})("ab"), "Can't extract `str` to `Vec`"),
    (b"a", "'int' object cannot be converted to 'Statement'"),
    ([let("a", 1), Expr.literal(1)], "'Expr' object cannot be converted to 'Statement'"),
    ([let("a", 1), None], "'NoneType' object cannot be converted to 'Statement'"),
    ([[let("a", 1)]], "'list' object cannot be converted to 'Statement'"),
    (GetItemOnly([let("a", 1), 7]), "'int' object cannot be converted to 'Statement'"),
    # Items are checked in order: the first bad one is the one reported.
    ([let("a", 1), Expr.literal(1), None], "'Expr' object cannot be converted to 'Statement'"),
    ((None, let("a", 1), Expr.literal(1)), "'NoneType' object cannot be converted to 'Statement'"),
    (ListSub([let("a", 1), 2.5, None]), "'float' object cannot be converted to 'Statement'"),
    (GetItemOnly([let("a", 1), "s", 7]), "'str' object cannot be converted to 'Statement'"),
]


@pytest.mark.parametrize("obj, text", NOT_SEQUENCES, ids=[t for _, t in NOT_SEQUENCES])
def test_refused_statement_lists(obj, text):
    v = Velk()
    with raises_exactly(TypeError, argument_error("then", text)):
        Statement.if_(T, obj, [])
    with raises_exactly(TypeError, argument_error("otherwise", text)):
        Statement.if_(T, [], obj)
    with raises_exactly(TypeError, argument_error("stmts", text)):
        v.run(obj)
    assert repr(v) == "Machine { vars: {} }"  # nothing ran, not even a leading statement


def test_then_is_converted_before_otherwise():
    with raises_exactly(TypeError, argument_error("then", "'int' object cannot be converted to 'Sequence'")):
        Statement.if_(T, 1, "x")
    with raises_exactly(TypeError, argument_error("pxpr", "'int' object cannot be converted to 'Expr'")):
        Statement.if_(1, "x", 2)


def test_getitem_sequence_is_read_in_order():
    v = Velk()
    v.run(GetItemOnly([let("x", 1), Statement.let("x", Expr.binary_op(Expr.ident("x"), "*", Expr.literal(10)))]))
    assert v.get("x") == 10


def test_not_given_a_statement():
    with raises_exactly(TypeError, "argument 'item': 'Statement' object cannot be converted to 'Expr'"):
        Expr.not_(let("x", 1))


def test_let_argument_errors():
    with raises_exactly(TypeError, "argument 'pxpr': 'int' object cannot be converted to 'Expr'"):
        Statement.let("x", 5)
    with pytest.raises(TypeError) as info:
        Statement.let(-1, Expr.literal(1))
    assert str(info.value).startswith("argument 'ident': failed to extract enum PyIdentifier ('U | S')\n")


def test_if_with_empty_branches_only_evaluates_the_condition():
    v = Velk()
    v.run([Statement.if_(T, [], ()), Statement.if_(F, (), [])])
    assert repr(v) == "Machine { vars: {} }"
    # The condition is still evaluated: an unbound variable fails.
    with raises_panic('Value cannot be found: S("c")'):
        v.run([Statement.if_(Expr.ident("c"), [], [])])


def test_deep_trees_of_ordinary_depth():
    depth = 300
    e = Expr.literal(0)
    for i in range(1, depth + 1):
        e = Expr.binary_op(e, "+", Expr.literal(i))
    assert evaluate(e) == depth * (depth + 1) // 2

    stmt = let("deep", "bottom")
    for _ in range(100):
        stmt = Statement.if_(T, [stmt], [let("wrong", 1)])
    v = Velk()
    v.run([stmt])
    assert v.get("deep") == "bottom"
    assert repr(v) == 'Machine { vars: {S("deep"): String("bottom")} }'

    e = T
    for _ in range(301):
        e = Expr.not_(e)
    assert evaluate(e) is False


class _IterRaises:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise ValueError("not today")


_S = Statement.let("s", Expr.literal(0))

ARGUMENT_MESSAGES = [
    # (call, exception type, exact message)
    (lambda: Expr.equals(1, Expr.literal(1)), TypeError, "argument 'a': 'int' object cannot be converted to 'Expr'"),
    (lambda: Expr.binary_op(Expr.literal(1), "%", Expr.literal(2)), ValueError, "Expected one of: +, -, *, /"),
    (lambda: Expr.binary_op(Expr.literal(1), "+", 5), TypeError,
     "argument 'b': 'int' object cannot be converted to 'Expr'"),
    # Every argument converts before the operator text is judged.
    (lambda: Expr.binary_op(Expr.literal(1), "%", 5), TypeError,
     "argument 'b': 'int' object cannot be converted to 'Expr'"),
    (lambda: Expr.binary_op(Expr.literal(1), 43, Expr.literal(2)), TypeError,
     "argument 'o': 'int' object cannot be converted to 'PyString'"),
    (lambda: Expr.not_(_S), TypeError, "argument 'item': 'Statement' object cannot be converted to 'Expr'"),
    (lambda: Statement.let("x", 5), TypeError, "argument 'pxpr': 'int' object cannot be converted to 'Expr'"),
    (lambda: Statement.if_(1, [], []), TypeError, "argument 'pxpr': 'int' object cannot be converted to 'Expr'"),
    (lambda: Statement.if_(T, "x", []), TypeError, "argument 'then': Can't extract `str` to `Vec`"),
    (lambda: Statement.if_(T, [], [Expr.literal(1)]), TypeError,
     "argument 'otherwise': 'Expr' object cannot be converted to 'Statement'"),
    (lambda: Statement.if_(T, (s for s in [_S]), []), TypeError,
     "argument 'then': 'generator' object cannot be converted to 'Sequence'"),
    (lambda: Velk().run(b"a"), TypeError, "argument 'stmts': 'int' object cannot be converted to 'Statement'"),
    (lambda: Velk().run(""), TypeError, "argument 'stmts': Can't extract `str` to `Vec`"),
    (lambda: Velk().run(5), TypeError, "argument 'stmts': 'int' object cannot be converted to 'Sequence'"),
    (lambda: Velk().run({_S}), TypeError, "argument 'stmts': 'set' object cannot be converted to 'Sequence'"),
    (lambda: Velk().run(_IterRaises()), ValueError, "not today"),
]


@pytest.mark.parametrize("call, kind, message", ARGUMENT_MESSAGES, ids=[m[2][:60] for m in ARGUMENT_MESSAGES])
def test_argument_messages(call, kind, message):
    with raises_exactly(kind, message):
        call()


class Counted:
    """A sequence through __len__ and __getitem__ that counts the calls."""

    def __init__(self, items):
        self.items, self.calls = items, 0

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        self.calls += 1
        return self.items[i]


SEQUENCE_KINDS = {"list": list, "tuple": tuple, "list subclass": ListSub, "sequence": Counted}
STATEMENT_LIST_USES = {
    "run": lambda seq: Velk().run(seq),
    "then": lambda seq: Statement.if_(T, seq, []),
    "otherwise": lambda seq: Statement.if_(T, (), seq),
}


@pytest.mark.parametrize("use", STATEMENT_LIST_USES)
@pytest.mark.parametrize("kind", SEQUENCE_KINDS)
@pytest.mark.parametrize("bad_at", [None, 0, 2])
def test_statement_lists_keep_reference_counts(use, kind, bad_at):
    # Read in place or gathered, accepted or refused: the sequence and every
    # item hold the references they held before, once the result is gone.
    items = [let("a", 1), let("b", 2), let("c", 3)]
    if bad_at is not None:
        items[bad_at] = Expr.literal(bad_at)
    seq = SEQUENCE_KINDS[kind](items)
    before = [sys.getrefcount(x) for x in (seq, *items)]
    for _ in range(3):
        try:
            STATEMENT_LIST_USES[use](seq)
        except TypeError:
            assert bad_at is not None
        else:
            assert bad_at is None
    assert [sys.getrefcount(x) for x in (seq, *items)] == before


@pytest.mark.parametrize("bad_at", [None, 0, 1])
def test_every_use_reads_a_sequence_alike(bad_at):
    # Velk.run and both branches of Statement.if_ take one conversion: each
    # reads a sequence's items as often, and refuses it with the same text.
    items = [let("a", 1), let("b", 2)]
    if bad_at is not None:
        items[bad_at] = 5
    outcomes = []
    for use, convert in STATEMENT_LIST_USES.items():
        seq = Counted(list(items))
        try:
            convert(seq)
            text = None
        except TypeError as exc:
            text = str(exc).removeprefix(f"argument '{'stmts' if use == 'run' else use}': ")
        outcomes.append((seq.calls, text))
    assert outcomes == [outcomes[0]] * 3
    expected_calls = 3 if bad_at is None else bad_at + 1  # the IndexError ends a full read
    assert outcomes[0][0] == expected_calls
