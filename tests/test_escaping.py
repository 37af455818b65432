"""Escaping of texts in debug forms, for every Unicode scalar value.

The reference comes from the Unicode data files (general categories from
UnicodeData.txt, Grapheme_Extend from DerivedCoreProperties.txt), which are
the authority for the module's own tables.
"""

import unicodedata

import pytest
import zarn

import reference_model as model
from support import PanicException

Expr, Statement, Velk = zarn.Expr, zarn.Statement, zarn.Velk

TABLES = model.load_unicode_tables()
pytestmark = pytest.mark.skipif(TABLES is None, reason=f"Unicode data files missing in {model.UNICODE_DIR}")

CHUNK = 4096
SCALARS = [cp for cp in range(0x110000) if not 0xD800 <= cp <= 0xDFFF]
CHUNKS = [SCALARS[i : i + CHUNK] for i in range(0, len(SCALARS), CHUNK)]


def _first_mismatches(cps, actual_of):
    """Code points whose escape differs, checked one at a time (failure detail)."""
    bad = []
    for cp in cps:
        expected = model.escape_char(chr(cp), TABLES)
        actual = actual_of(chr(cp))
        if actual != expected:
            bad.append(f"U+{cp:04X}: got {actual!r}, expected {expected!r}")
            if len(bad) == 20:
                break
    return bad


def _printed_text(c):
    v = Velk()
    v.run([Statement.let("k", Expr.literal(c))])
    prefix, suffix = 'Machine { vars: {S("k"): String("', '")} }'
    text = repr(v)
    assert text.startswith(prefix) and text.endswith(suffix)
    return text[len(prefix) : -len(suffix)]


def test_every_scalar_value_in_strings_and_identifiers():
    for cps in CHUNKS:
        text = "".join(map(chr, cps))
        quoted = "".join(model.escape_char(c, TABLES) for c in text)
        v = Velk()
        v.run([Statement.let(text, Expr.literal(text))])
        expected = 'Machine { vars: {S("' + quoted + '"): String("' + quoted + '")} }'
        actual = repr(v)
        if actual != expected:
            pytest.fail(f"chunk from U+{cps[0]:04X}: " + "; ".join(_first_mismatches(cps, _printed_text)))
        # The same escaping in the lookup failure's identifier form.
        try:
            Velk().get(text)
        except PanicException as exc:
            assert str(exc) == 'Value cannot be found: S("' + quoted + '")', f"chunk from U+{cps[0]:04X}"
        else:
            pytest.fail("lookup on an empty machine succeeded")


def test_texts_round_trip_unchanged():
    # The escaping is only for printing: get gives the text back as it was.
    for cps in CHUNKS[::16]:
        text = "".join(map(chr, cps))
        v = Velk()
        v.run([Statement.let(text, Expr.literal(text))])
        assert v.get(text) == text


def test_reference_tables_are_sane():
    # A few fixed points, so that a broken table load cannot pass silently.
    escaped = [0x00, 0x1B, 0x7F, 0xA0, 0xAD, 0x300, 0x378, 0x200B, 0x2028, 0xE000, 0xFEFF, 0x10FFFF]
    plain = [0x20, 0x41, 0x7E, 0xE4, 0x416, 0x4E00, 0x1F600]
    assert all(TABLES.escapes(cp) for cp in escaped)
    assert not any(TABLES.escapes(cp) for cp in plain)
    # Python's own database mostly agrees on the categories (versions may differ).
    agree = sum(
        TABLES.escapes(cp) == (unicodedata.category(chr(cp)) in model.NOT_PRINTABLE_CATEGORIES or unicodedata.category(chr(cp)) in ("Mn", "Me"))
        for cp in range(0x3000)
        if cp != 0x20
    )
    assert agree > 0x3000 * 0.97
