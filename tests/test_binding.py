"""Argument binding: the binding messages of every method and keyword calls."""

import pytest
import zarn

from support import raises_exactly

Expr, Statement, Velk = zarn.Expr, zarn.Statement, zarn.Velk


def _valid(param):
    plain = {"value": 1, "id": "x", "ident": "x", "o": "+", "then": [], "otherwise": [], "stmts": []}
    return plain[param] if param in plain else Expr.literal(True)


# (full name, function to call, parameter names)
METHODS = [
    ("Expr.literal()", lambda: Expr.literal, ["value"]),
    ("Expr.ident()", lambda: Expr.ident, ["id"]),
    ("Expr.binary_op()", lambda: Expr.binary_op, ["a", "o", "b"]),
    ("Expr.equals()", lambda: Expr.equals, ["a", "b"]),
    ("Expr.not_()", lambda: Expr.not_, ["item"]),
    ("Expr.greater_than()", lambda: Expr.greater_than, ["a", "b"]),
    ("Expr.less_than()", lambda: Expr.less_than, ["a", "b"]),
    ("Statement.let()", lambda: Statement.let, ["ident", "pxpr"]),
    ("Statement.if_()", lambda: Statement.if_, ["pxpr", "then", "otherwise"]),
    ("Velk.run()", lambda: Velk().run, ["stmts"]),
    ("Velk.get()", lambda: Velk().get, ["ident"]),
    ("Velk.__new__()", lambda: Velk, []),
]
IDS = [m[0] for m in METHODS]


def name_list(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def test_name_list_examples_from_the_documentation():
    with raises_exactly(TypeError, "Statement.if_() missing 2 required positional arguments: 'then' and 'otherwise'"):
        Statement.if_(Expr.literal(True))
    with raises_exactly(TypeError, "Expr.binary_op() missing 3 required positional arguments: 'a', 'o', and 'b'"):
        Expr.binary_op()
    with raises_exactly(TypeError, "Expr.literal() takes 1 positional arguments but 2 were given"):
        Expr.literal(1, 2)
    with raises_exactly(TypeError, "Expr.ident() got an unexpected keyword argument 'x'"):
        Expr.ident(x=1)
    e = Expr.literal(1)
    with raises_exactly(TypeError, "Expr.equals() got multiple values for argument 'a'"):
        Expr.equals(e, a=e)


@pytest.mark.parametrize("full, fn, params", METHODS, ids=IDS)
@pytest.mark.parametrize("extra", [1, 2, 3])
def test_too_many_positional(full, fn, params, extra):
    args = [_valid(p) for p in params] + [Expr.literal(0)] * extra
    given = len(args)
    verb = "was" if given == 1 else "were"
    message = f"{full} takes {len(params)} positional arguments but {given} {verb} given"
    with raises_exactly(TypeError, message):
        fn()(*args)
    # Too many positionals is tested before anything else, keywords included.
    with raises_exactly(TypeError, message):
        fn()(*args, zzz=1)


@pytest.mark.parametrize("full, fn, params", [m for m in METHODS if m[2]], ids=IDS[:-1])
def test_missing_arguments(full, fn, params):
    for given in range(len(params)):
        missing = params[given:]
        args = [_valid(p) for p in params[:given]]
        noun = "argument" if len(missing) == 1 else "arguments"
        message = f"{full} missing {len(missing)} required positional {noun}: {name_list(missing)}"
        with raises_exactly(TypeError, message):
            fn()(*args)
    # A parameter missing in the middle: the rest were given by keyword.
    if len(params) >= 2:
        kwargs = {p: _valid(p) for p in params[1:]}
        message = f"{full} missing 1 required positional argument: '{params[0]}'"
        with raises_exactly(TypeError, message):
            fn()(**kwargs)


@pytest.mark.parametrize("full, fn, params", METHODS, ids=IDS)
@pytest.mark.parametrize("keyword", ["zzz", "x", "välue", "Value", "valu"])
def test_unexpected_keyword(full, fn, params, keyword):
    if keyword in params:
        pytest.skip("a real parameter")
    message = f"{full} got an unexpected keyword argument '{keyword}'"
    with raises_exactly(TypeError, message):
        fn()(**{keyword: 1})
    # All parameters given correctly does not hide the stray keyword.
    with raises_exactly(TypeError, message):
        fn()(*[_valid(p) for p in params], **{keyword: 1})


@pytest.mark.parametrize("full, fn, params", [m for m in METHODS if m[2]], ids=IDS[:-1])
def test_multiple_values(full, fn, params):
    for index, name in enumerate(params):
        args = [_valid(p) for p in params[: index + 1]]
        message = f"{full} got multiple values for argument '{name}'"
        with raises_exactly(TypeError, message):
            fn()(*args, **{name: _valid(name)})


@pytest.mark.parametrize("full, fn, params", [m for m in METHODS if m[2]], ids=IDS[:-1])
def test_keyword_failures_are_reported_in_call_order(full, fn, params):
    first = params[0]
    with raises_exactly(TypeError, f"{full} got an unexpected keyword argument 'zzz'"):
        fn()(_valid(first), zzz=1, **{first: _valid(first)})
    with raises_exactly(TypeError, f"{full} got multiple values for argument '{first}'"):
        fn()(_valid(first), **{first: _valid(first)}, zzz=1)


def test_binding_comes_before_conversion():
    # Neither 1 nor "+" is converted: the missing argument is reported.
    with raises_exactly(TypeError, "Expr.binary_op() missing 1 required positional argument: 'b'"):
        Expr.binary_op(1, "+")
    with raises_exactly(TypeError, "Statement.let() got an unexpected keyword argument 'x'"):
        Statement.let(-1, 5, x=0)


# Velk() is the type's own call; Velk.__new__ is the classic one. Both bind
# their arguments alike.
@pytest.mark.parametrize("make", [Velk, lambda *a, **k: Velk.__new__(Velk, *a, **k)], ids=["call", "__new__"])
def test_velk_constructor_messages(make):
    with raises_exactly(TypeError, "Velk.__new__() takes 0 positional arguments but 1 was given"):
        make(1)
    with raises_exactly(TypeError, "Velk.__new__() takes 0 positional arguments but 2 were given"):
        make(1, 2)
    with raises_exactly(TypeError, "Velk.__new__() got an unexpected keyword argument 'x'"):
        make(x=1)
    with raises_exactly(TypeError, "Velk.__new__() takes 0 positional arguments but 1 was given"):
        make(1, x=1)
    machine = make(**{})
    assert type(machine) is Velk
    machine.run([Statement.let("x", Expr.literal(1))])
    assert machine.get("x") == 1


def test_keyword_calls_of_every_method():
    t, f = Expr.literal(True), Expr.literal(False)
    one, two = Expr.literal(1), Expr.literal(2)
    stmts = [
        Statement.let(ident="lit", pxpr=Expr.literal(value="s")),
        Statement.let(pxpr=Expr.ident(id="lit"), ident="copy"),
        Statement.let("sum", Expr.binary_op(b=two, o="-", a=one)),
        Statement.let("eq", Expr.equals(b=one, a=one)),
        Statement.let("not", Expr.not_(item=f)),
        Statement.let("gt", Expr.greater_than(two, b=one)),
        Statement.let("lt", Expr.less_than(a=two, b=one)),
        Statement.if_(otherwise=[Statement.let("branch", f)], pxpr=t, then=[Statement.let("branch", t)]),
    ]
    v = Velk()
    assert v.run(stmts=stmts) is None
    expected = {"lit": "s", "copy": "s", "sum": -1, "eq": True, "not": True, "gt": True, "lt": False, "branch": True}
    assert {k: v.get(ident=k) for k in expected} == expected


# zarn_runtime's functions bind their arguments as the classes' methods do,
# with positional-only and keyword-only parameters as their signatures show.
# The oracle is a Python function of the same text signature: Python words
# the errors of its calls, but for too many positional arguments, which the
# binder reports first and always in the plural ("takes 1 positional
# arguments"). Every argument is an object() that no parameter converts,
# so a call that binds fails only in a conversion, "argument '<name>': ...",
# if there is anything to convert.
RUNTIME_FUNCTIONS = ["set_limits", "set_default_limits", "set_fault_report", "bind", "read", "dumps", "loads"]


def _oracle(name, signature):
    namespace = {}
    parameters = str(signature).replace("$module, ", "").replace("$module", "")
    exec(f"def {name}{parameters}: pass", namespace)
    return namespace[name]


def _calls(parameters):
    """Every call of 0 to len+1 positional arguments with each set of the
    parameters' names, and a stray name, as keywords."""
    import itertools

    names = [p.name for p in parameters] + ["zzz"]
    for positional in range(len(parameters) + 2):
        for count in range(len(names) + 1):
            for keywords in itertools.combinations(names, count):
                yield positional, keywords
                if len(keywords) > 1:
                    yield positional, tuple(reversed(keywords))


@pytest.mark.parametrize("name", [n for n in RUNTIME_FUNCTIONS if n != "set_fault_report"])
def test_runtime_functions_bind_as_their_signatures_say(name):
    import inspect
    import zarn_runtime

    function = getattr(zarn_runtime, name)
    signature = inspect.signature(function)
    oracle = _oracle(name, signature)
    parameters = list(signature.parameters.values())
    positional_count = sum(p.kind is not p.KEYWORD_ONLY for p in parameters)
    for positional, keywords in _calls(parameters):
        args = [object()] * positional
        kwargs = dict.fromkeys(keywords, object())
        if positional > positional_count:
            verb = "was" if positional == 1 else "were"
            expected = f"{name}() takes {positional_count} positional arguments but {positional} {verb} given"
        else:
            try:
                oracle(*args, **kwargs)
                expected = None
            except TypeError as exc:
                expected = str(exc)
        try:
            function(*args, **kwargs)  # only set_default_limits() binds and converts all
            got = None
        except TypeError as exc:
            got = str(exc)
        if expected is None:
            assert got is None or got.startswith("argument '"), (positional, keywords, got)
        else:
            assert got == expected, (positional, keywords)


def test_set_fault_report_binds_as_its_signature_says():
    from zarn_runtime import set_fault_report

    cases = [((), {}, "set_fault_report() missing 1 required positional argument: 'enabled'"),
             ((True, True), {}, "set_fault_report() takes 1 positional arguments but 2 were given"),
             ((), {"enabled": True},
              "set_fault_report() got some positional-only arguments passed as keyword arguments: 'enabled'"),
             ((True,), {"x": 1}, "set_fault_report() got an unexpected keyword argument 'x'")]
    for args, kwargs, message in cases:
        with raises_exactly(TypeError, message):
            set_fault_report(*args, **kwargs)


def test_runtime_keyword_only_parameters_may_be_left_out_or_none():
    from zarn_runtime import PanicException, set_limits

    v = Velk()
    ten_lets = [Statement.let("x", Expr.literal(1))] * 10
    set_limits(v, max_steps=3)
    set_limits(v, max_text=None, max_steps=None)  # max_bytes left out: no limit at all
    v.run(ten_lets)
    set_limits(machine=v, max_steps=3)
    with pytest.raises(PanicException):
        v.run(ten_lets)
