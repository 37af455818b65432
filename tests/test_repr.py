"""The printed form of a Velk machine."""

import math

import pytest
import zarn

import reference_model as model
from support import parse_machine_repr

Expr, Statement, Velk = zarn.Expr, zarn.Statement, zarn.Velk


def single(ident, value):
    v = Velk()
    v.run([Statement.let(ident, Expr.literal(value))])
    return repr(v)


def test_empty_machine():
    assert repr(Velk()) == "Machine { vars: {} }"
    assert str(Velk()) == "Machine { vars: {} }"


@pytest.mark.parametrize(
    "value, text",
    [
        (None, "Null"),
        (True, "Boolean(true)"),
        (False, "Boolean(false)"),
        (0, "Number(Int(0))"),
        (5, "Number(Int(5))"),
        (-(2**63), "Number(Int(-9223372036854775808))"),
        (2**63 - 1, "Number(Int(9223372036854775807))"),
        ("a", 'String("a")'),
        ("", 'String("")'),
    ],
)
def test_value_forms(value, text):
    assert single("x", value) == 'Machine { vars: {S("x"): ' + text + "} }"


FLOATS = [
    (1.0, "1.0"),
    (0.5, "0.5"),
    (0.0, "0.0"),
    (-0.0, "-0.0"),
    (100.0, "100.0"),
    (0.1, "0.1"),
    (1 / 3, "0.3333333333333333"),
    (-2.5, "-2.5"),
    (123456789.125, "123456789.125"),
    (0.0001, "0.0001"),
    (9.999999999999999e-05, "9.999999999999999e-5"),
    (1.5e-5, "1.5e-5"),
    (-1e-7, "-1e-7"),
    (1e15, "1000000000000000.0"),
    (9999999999999998.0, "9999999999999998.0"),
    (1e16, "1e16"),
    (1.2345e16, "1.2345e16"),
    (12345678901234567.0, "1.2345678901234568e16"),
    (9.223372036854775808e18, "9.223372036854776e18"),
    (1e300, "1e300"),
    (-1e300, "-1e300"),
    (1.7976931348623157e308, "1.7976931348623157e308"),
    (2.2250738585072014e-308, "2.2250738585072014e-308"),
    (5e-324, "5e-324"),
    (math.inf, "inf"),
    (-math.inf, "-inf"),
    (math.nan, "NaN"),
    (-math.nan, "NaN"),
]


@pytest.mark.parametrize("value, text", FLOATS, ids=[t for _, t in FLOATS])
def test_float_forms(value, text):
    assert single(1, value) == "Machine { vars: {U(1): Number(Float(" + text + "))} }"
    assert model.float_debug(value) == text  # the model agrees, so the differential test can rely on it


def test_int_sized_float_stays_a_float():
    assert single("f", 2**63) == 'Machine { vars: {S("f"): Number(Float(9.223372036854776e18))} }'


ESCAPES = [
    ("plain", "plain"),
    ('q"uote', 'q\\"uote'),
    ("back\\slash", "back\\\\slash"),
    ("'single'", "'single'"),
    ("tab\tcr\rlf\nnul\0", "tab\\tcr\\rlf\\nnul\\0"),
    ("esc\x1b", "esc\\u{1b}"),
    ("del\x7f", "del\\u{7f}"),
    ("c1\x85", "c1\\u{85}"),
    ("space ok", "space ok"),
    ("nbsp\u00a0", "nbsp\\u{a0}"),
    ("ideo\u3000", "ideo\\u{3000}"),
    ("zwsp\u200b", "zwsp\\u{200b}"),
    ("bom\ufeff", "bom\\u{feff}"),
    ("ls\u2028ps\u2029", "ls\\u{2028}ps\\u{2029}"),
    ("pua\ue000", "pua\\u{e000}"),
    ("unassigned\u0378", "unassigned\\u{378}"),
    ("max\U0010ffff", "max\\u{10ffff}"),
    ("e\u0301", "e\\u{301}"),
    ("\u0301start", "\\u{301}start"),
    ("äöü ß", "äöü ß"),
    ("Ελληνικά Кириллица", "Ελληνικά Кириллица"),
    ("日本語", "日本語"),
    ("emoji 😀", "emoji 😀"),
    ("a\u20dd", "a\\u{20dd}"),
]


@pytest.mark.parametrize("text, escaped", ESCAPES, ids=[e for _, e in ESCAPES])
def test_text_escaping(text, escaped):
    expected = 'Machine { vars: {S("' + escaped + '"): String("' + escaped + '")} }'
    assert single(text, text) == expected
    assert model.quote(text) == '"' + escaped + '"'


def test_identifier_forms():
    assert single(0, 1) == "Machine { vars: {U(0): Number(Int(1))} }"
    assert single(4294967295, 1) == "Machine { vars: {U(4294967295): Number(Int(1))} }"
    assert single("", 1) == 'Machine { vars: {S(""): Number(Int(1))} }'
    assert single("7", 1) == 'Machine { vars: {S("7"): Number(Int(1))} }'


def test_several_entries():
    v = Velk()
    v.run([
        Statement.let("x", Expr.literal(1)),
        Statement.let(3, Expr.literal("a")),
    ])
    assert sorted(parse_machine_repr(repr(v))) == ['S("x"): Number(Int(1))', 'U(3): String("a")']
    assert repr(v) in (
        'Machine { vars: {S("x"): Number(Int(1)), U(3): String("a")} }',
        'Machine { vars: {U(3): String("a"), S("x"): Number(Int(1))} }',
    )


def test_many_entries_each_printed_once():
    v = Velk()
    names = [i for i in range(40)] + [f"n{i}" for i in range(40)] + ['tricky, "}: {', "x), U(1): y"]
    v.run([Statement.let(n, Expr.literal(n if isinstance(n, int) else f"v, {n}")) for n in names])
    # Rebinding replaces the entry rather than adding one.
    v.run([Statement.let(0, Expr.literal(None))])
    m = model.Machine()
    m.run([model.let(n, model.lit(n if isinstance(n, int) else f"v, {n}")) for n in names])
    m.run([model.let(0, model.lit(None))])
    text = repr(v)
    assert sorted(parse_machine_repr(text)) == sorted(m.entries())
    assert repr(v) == text  # printing changes nothing
