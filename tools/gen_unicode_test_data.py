#!/usr/bin/env python3
"""Generate velk/tests/unicode_expected_ranges.inc, the expectation the
Unicode and debug-text tests check the generated tables against.

It deliberately takes a different road from tools/gen_unicode_tables.py:

  * not printable: Python's own str.isprintable() (built from Python's copy
    of the Unicode database), cross-checked here against the general
    categories Cc, Cf, Cs, Co, Cn, Zl, Zp, Zs (minus U+0020) from
    unicodedata.category();
  * Grapheme_Extend: its defining formula Me + Mn + Other_Grapheme_Extend,
    with Me/Mn from unicodedata and Other_Grapheme_Extend from PropList.txt,
    instead of the derived list in DerivedCoreProperties.txt.

Python's Unicode version must equal the UCD files' version, otherwise the
comparison would report version differences rather than faults; the script
refuses to run on a mismatch. Python 3.12.1 ships Unicode 15.0.0, as does
Debian bookworm's unicode-data. Usage, from the repository root:

  $(pyenv root)/versions/3.12.1/bin/python3.12 tools/gen_unicode_test_data.py \
      [--ucd-dir /usr/share/unicode] [--output velk/tests/unicode_expected_ranges.inc]
"""

import argparse
import os
import platform
import re
import sys
import unicodedata

MAX_CODE_POINT = 0x10FFFF
REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def other_grapheme_extend(ucd_dir):
    path = os.path.join(ucd_dir, "PropList.txt")
    with open(path, encoding="utf-8") as f:
        lines = f.readlines()
    m = re.match(r"#\s*PropList-(\d+\.\d+\.\d+)\.txt", lines[0])
    if not m:
        sys.exit(f"cannot find the Unicode version in the first line of {path}")
    result = set()
    pattern = re.compile(r"^([0-9A-F]+)(?:\.\.([0-9A-F]+))?\s*;\s*Other_Grapheme_Extend\s*(#|$)")
    for line in lines:
        hit = pattern.match(line)
        if hit:
            first = int(hit.group(1), 16)
            last = int(hit.group(2), 16) if hit.group(2) else first
            result.update(range(first, last + 1))
    return m.group(1), result


def ranges_of(flags):
    ranges, start = [], None
    for cp, flag in enumerate(flags + [False]):
        if flag and start is None:
            start = cp
        elif not flag and start is not None:
            ranges.append((start, cp - 1))
            start = None
    return ranges


def format_table(name, ranges):
    lines = [f"const std::uint32_t {name}[][2] = {{"]
    for i in range(0, len(ranges), 4):
        lines.append("    " + " ".join(f"{{0x{a:X}, 0x{b:X}}}," for a, b in ranges[i:i + 4]))
    lines.append("};")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ucd-dir", default="/usr/share/unicode")
    parser.add_argument("--output", default=os.path.join(REPO_ROOT, "velk", "tests", "unicode_expected_ranges.inc"))
    args = parser.parse_args()

    ucd_version, oge = other_grapheme_extend(args.ucd_dir)
    py_version = unicodedata.unidata_version
    if ucd_version != py_version:
        sys.exit(f"Python {platform.python_version()} has Unicode {py_version} but the UCD files "
                 f"are {ucd_version}; run this with a Python whose unicodedata matches")

    not_printable_categories = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}
    not_printable, extend = [], []
    for cp in range(MAX_CODE_POINT + 1):
        ch = chr(cp)
        category = unicodedata.category(ch)
        by_category = category in not_printable_categories and cp != 0x20
        if by_category == ch.isprintable():
            sys.exit(f"U+{cp:04X}: isprintable() disagrees with category {category}")
        not_printable.append(by_category)
        extend.append(category in ("Mn", "Me") or cp in oge)

    text = f"""\
// GENERATED FILE, do not edit. Regenerate from the repository root with:
//   $(pyenv root)/versions/3.12.1/bin/python3.12 tools/gen_unicode_test_data.py
// Made with Python {platform.python_version()} (unicodedata {py_version}) and PropList.txt
// {ucd_version}: an independent expectation for the generated Unicode tables.
// Inclusive code point ranges {{first, last}}.

const char kExpectedUnicodeVersion[] = "{py_version}";

// Not printable: str.isprintable() is false.
{format_table("kExpectedNotPrintable", ranges_of(not_printable))}

// Grapheme_Extend: general category Mn or Me, or Other_Grapheme_Extend.
{format_table("kExpectedGraphemeExtend", ranges_of(extend))}
"""
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(text)
    print(f"wrote {args.output}: Unicode {py_version}")


if __name__ == "__main__":
    main()
