#!/usr/bin/env python3
"""Generate velk/src/unicode_tables.cpp from the Unicode Character Database.

The debug text form escapes characters that are grapheme extenders or are not
printable. This script turns the UCD files into two sorted, merged tables of
inclusive code point ranges:

  * Grapheme_Extend, as listed in DerivedCoreProperties.txt;
  * not printable: general categories Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs,
    except U+0020. Cn (unassigned) is every code point UnicodeData.txt does
    not list, where a "<..., First>"/"<..., Last>" line pair covers the whole
    range between them.

Usage (from the repository root; any Python 3.8+ works, no unicodedata used):

  python3 tools/gen_unicode_tables.py [--ucd-dir /usr/share/unicode]
                                      [--output velk/src/unicode_tables.cpp]

The UCD files come from Debian's `unicode-data` package.
"""

import argparse
import os
import re
import subprocess
import sys

MAX_CODE_POINT = 0x10FFFF
NOT_PRINTABLE_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}
ASCII_BLANK = 0x20  # a space separator, but printable

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def read_version(ucd_dir):
    """The Unicode version named in the first line of DerivedCoreProperties."""
    path = os.path.join(ucd_dir, "DerivedCoreProperties.txt")
    with open(path, encoding="utf-8") as f:
        first = f.readline()
    m = re.match(r"#\s*DerivedCoreProperties-(\d+\.\d+\.\d+)\.txt", first)
    if not m:
        sys.exit(f"cannot find the Unicode version in the first line of {path}")
    return m.group(1)


def debian_package_version():
    """The installed unicode-data package version, or None off Debian."""
    try:
        out = subprocess.run(
            ["dpkg-query", "-W", "-f=${Version}", "unicode-data"],
            capture_output=True, text=True, check=True)
        return out.stdout.strip() or None
    except (OSError, subprocess.CalledProcessError):
        return None


def general_categories(ucd_dir):
    """A list indexed by code point: each code point's general category."""
    categories = ["Cn"] * (MAX_CODE_POINT + 1)
    range_start = None  # (code point, name prefix) of a pending "First" line
    with open(os.path.join(ucd_dir, "UnicodeData.txt"), encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split(";")
            if len(fields) < 3:
                continue
            cp, name, category = int(fields[0], 16), fields[1], fields[2]
            if name.endswith(", First>"):
                if range_start is not None:
                    sys.exit(f"nested First line at {cp:04X}")
                range_start = (cp, name[: -len(", First>")])
                continue
            if name.endswith(", Last>"):
                if range_start is None or range_start[1] != name[: -len(", Last>")]:
                    sys.exit(f"Last line without matching First at {cp:04X}")
                first = range_start[0]
                range_start = None
            else:
                if range_start is not None:
                    sys.exit(f"First line not followed by Last before {cp:04X}")
                first = cp
            for c in range(first, cp + 1):
                categories[c] = category
    if range_start is not None:
        sys.exit("UnicodeData.txt ends inside a First/Last range")
    return categories


def grapheme_extend(ucd_dir):
    """The set of Grapheme_Extend code points."""
    result = set()
    pattern = re.compile(r"^([0-9A-F]+)(?:\.\.([0-9A-F]+))?\s*;\s*Grapheme_Extend\s*(#|$)")
    path = os.path.join(ucd_dir, "DerivedCoreProperties.txt")
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = pattern.match(line)
            if m:
                first = int(m.group(1), 16)
                last = int(m.group(2), 16) if m.group(2) else first
                result.update(range(first, last + 1))
    if not result:
        sys.exit(f"no Grapheme_Extend entries found in {path}")
    return result


def to_ranges(is_member):
    """Merged, sorted inclusive ranges of the code points where is_member holds."""
    ranges = []
    start = None
    for cp in range(MAX_CODE_POINT + 2):
        inside = cp <= MAX_CODE_POINT and is_member(cp)
        if inside and start is None:
            start = cp
        elif not inside and start is not None:
            ranges.append((start, cp - 1))
            start = None
    return ranges


def format_table(name, ranges):
    per_line = 4
    lines = [f"constexpr CodePointRange {name}[] = {{"]
    for i in range(0, len(ranges), per_line):
        chunk = ranges[i:i + per_line]
        lines.append("    " + " ".join(f"{{0x{a:04X}, 0x{b:04X}}}," for a, b in chunk))
    lines.append("};")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ucd-dir", default="/usr/share/unicode")
    parser.add_argument("--output", default=os.path.join(REPO_ROOT, "velk", "src", "unicode_tables.cpp"))
    args = parser.parse_args()

    version = read_version(args.ucd_dir)
    package = debian_package_version()
    categories = general_categories(args.ucd_dir)
    extenders = grapheme_extend(args.ucd_dir)

    not_printable = to_ranges(
        lambda cp: cp != ASCII_BLANK and categories[cp] in NOT_PRINTABLE_CATEGORIES)
    extend = to_ranges(lambda cp: cp in extenders)

    source = f"unicode-data {package}, " if package else ""
    text = f"""\
// GENERATED FILE, do not edit. Regenerate from the repository root with:
//   python3 tools/gen_unicode_tables.py
// Source: Unicode Character Database {version} ({source}UnicodeData.txt and
// DerivedCoreProperties.txt).
//
// Sorted, disjoint, merged inclusive ranges of code points.

#include "velk/unicode.hpp"

namespace velk {{
namespace {{

{format_table("kGraphemeExtend", extend)}

// General categories Cc, Cf, Cs, Co, Cn (unassigned), Zl, Zp and Zs, without
// U+0020.
{format_table("kNotPrintable", not_printable)}

}}  // namespace

const char* unicode_version() noexcept {{ return "{version}"; }}

std::span<const CodePointRange> grapheme_extend_ranges() noexcept {{ return kGraphemeExtend; }}
std::span<const CodePointRange> not_printable_ranges() noexcept {{ return kNotPrintable; }}

}}  // namespace velk
"""
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(text)
    print(f"wrote {args.output}: Unicode {version}, {len(extend)} Grapheme_Extend ranges, "
          f"{len(not_printable)} not-printable ranges")


if __name__ == "__main__":
    main()
