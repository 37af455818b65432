#!/usr/bin/env python3
"""Writes the seed corpus of the core's fuzz target into fuzz/corpus/.

Each seed is a small program in the byte layout that fuzz/program_decoder.hpp
describes; the helpers below mirror that layout one to one. Run it again after
changing the layout:  python3 tools/gen_fuzz_seeds.py
"""
import pathlib
import struct

OUT = pathlib.Path(__file__).resolve().parent.parent / "fuzz" / "corpus"

# Table positions in program_decoder.cpp.
INT = {0: 0, 1: 1, -1: 2, 2: 3, -2: 4, 7: 5, 10: 6, "max": 7, "min": 8, "max-1": 9,
       "min+1": 10, "2^53": 11, "2^53+1": 12, "-2^53-1": 13, "2^32": 14, "u32max": 15}
FLOAT = {0.0: 0, "-0.0": 1, "nan": 2, "-nan": 3, "inf": 4, "-inf": 5, 1.0: 6, 0.5: 7,
         -1.5: 8, 1e16: 9, 1e-4: 10, 1.5e-5: 11, "max": 12, "denorm": 13, "2^53": 14, 0.1: 15}
TEXT = {"": 0, "a": 1, "b": 2, "ab": 3, '"': 4, "\\": 5, "\n": 6, "\0": 7, "\x7f": 8,
        "\x85": 9, "\u00e9": 10, "e\u0301": 11, "\u65e5\u672c": 12, "\U0001F600": 13,
        "\u2028": 14, "'": 15}
U0, U1, U7, UMAX, X, Y, S7, EMPTY, COUNTER, E_ACUTE, QUOTED, CONTROLS, COMBINING, ESCAPE, CJK, ZWSP = (
    bytes([i]) for i in range(16))
ADD, SUB, MUL, DIV = range(4)
RAW = 0xF0  # selector of a raw payload


# ---------------------------------------------------------------- layout

def u16(n): return n.to_bytes(2, "big")
def u32(n): return n.to_bytes(4, "big")
def u64(n): return (n % 2**64).to_bytes(8, "big")


def run(statements, clone_list_after=False, clone_statements_before=False, one_call_per_statement=False):
    flags = clone_list_after | clone_statements_before << 1 | one_call_per_statement << 2
    return bytes([flags]) + block(statements)


def block(statements):
    assert len(statements) < 12, "lists hold at most 12 statements"
    return b"".join(statements) + b"\0"


def let(ident, expr): return b"\x01" + ident + expr
def if_(cond, then, otherwise=()): return b"\x03" + cond + block(then) + block(otherwise)


def uid(n): return b"\xc0" + u32(n)
def sid(*units): return b"\x80" + text(*units)


def text(*units):
    assert len(units) < 8
    return bytes([len(units)]) + b"".join(units)


# Text units, by class.
def ascii_(c): return bytes([0, ord(c) - 0x20])
def control(c): return bytes([1, 32 if c == 0x7F else c])
def quote(i): return bytes([2, i])  # '"', '\\', "'", ' '
def bmp(cp): return bytes([3]) + u16(cp - 0x80)
def combining(k): return bytes([4, k])  # U+0300 + k
def astral(cp): return bytes([5, (cp - 0x10000) >> 16]) + u16((cp - 0x10000) & 0xFFFF)
def special(i): return bytes([6, i])
def raw(b): return bytes([7, b])


NULL = b"\x00"
def boolean(b): return bytes([1, int(b)])
def i(key): return bytes([2, INT[key]])
def i_raw(n): return bytes([2, RAW]) + u64(n)
def f(key): return bytes([3, FLOAT[key]])
def f_raw(x): return bytes([3, RAW]) + struct.pack(">d", x)
def s(key): return bytes([4, TEXT[key]])
def s_text(*units): return b"\x04\x80" + text(*units)
def var(ident): return b"\x05" + ident
def op(o, a, b): return bytes([7, o]) + a + b
def eq(a, b): return b"\x09" + a + b
def not_(a): return b"\x0a" + a
def gt(a, b): return b"\x0b" + a + b
def lt(a, b): return b"\x0c" + a + b


def levels(n):
    return bytes([n - 1]) if n <= 64 else b"\x80" + u16(n - 65)


def deep_expr(n, shape, o, base, leaf):
    """shape: 0 left chain, 1 right chain, 2 nots, 3 equals, 4 less-than, 5 greater-than."""
    return b"\xff" + levels(n) + bytes([shape, o]) + base + leaf


def deep_if(n, shape, inner, cond=b""):
    """shape: 0 true-then, 1 alternating branches, 2 `cond` with a sibling, 3 binding after."""
    assert (shape == 2) == bool(cond)
    return b"\xff" + levels(n) + bytes([shape]) + cond + inner


# ---------------------------------------------------------------- seeds

SEEDS = {
    "empty": b"",
    "literals": run([let(X, NULL), let(Y, boolean(True)), let(COUNTER, i("max")),
                     let(U0, f("-0.0")), let(U1, s('"')), let(EMPTY, s("e\u0301"))]),
    "increment": run([let(X, i(1))] + [let(X, op(ADD, var(X), i(1)))] * 3),
    "unbound_text": run([let(X, i(1)), let(Y, var(COUNTER)), let(U7, i(2))]),
    "unbound_number": run([let(U0, var(UMAX))]),
    "u7_is_not_s7": run([let(S7, i(7)), let(X, var(U7))]),
    "divide_by_zero": run([let(X, op(DIV, i(1), i(0)))]),
    "divide_overflow": run([let(X, op(DIV, i("min"), i(-1))), let(Y, op(DIV, i("min"), i(1)))]),
    "wrapping": run([let(X, op(ADD, i("max"), i(1))), let(Y, op(SUB, i("min"), i(1))),
                     let(U0, op(MUL, i("min"), i(-1))), let(U1, op(DIV, i(7), i(-2)))]),
    "join": run([let(X, op(ADD, s("ab"), s(""))), let(Y, op(ADD, var(X), s("\u65e5\u672c")))]),
    "string_operator": run([let(X, op(SUB, s("a"), s("b")))]),
    "kind_failure": run([let(X, op(ADD, NULL, NULL))]),
    "string_plus_number": run([let(X, op(ADD, s("a"), i(1)))]),
    "missing_beats_kind": run([let(X, op(ADD, NULL, var(CJK)))]),
    "not_of_int": run([let(X, not_(i(0)))]),
    "order_strings": run([let(X, gt(s("a"), s("b")))]),
    "condition_not_bool": run([if_(i(1), [let(X, i(1))], [let(Y, i(2))])]),
    "nested_if": run([let(X, i(2)),
                      if_(lt(var(X), i(10)),
                          [if_(not_(boolean(False)), [let(Y, op(MUL, var(X), f(0.5)))], [let(Y, NULL)]),
                           let(COUNTER, eq(var(Y), f(1.0)))],
                          [let(Y, s("b"))])]),
    "float_order": run([let(X, gt(f("nan"), f("inf"))), let(Y, lt(f("-nan"), f("-inf"))),
                        let(U0, gt(f(0.0), f("-0.0"))), let(U1, gt(i(0), f("-0.0"))),
                        let(U7, gt(i("2^53+1"), f("2^53"))), let(UMAX, lt(i(1), f(1.0)))]),
    "equality": run([let(X, eq(i(1), f(1.0))), let(Y, eq(f("nan"), f("nan"))),
                     let(U0, eq(f(0.0), f("-0.0"))), let(U1, eq(NULL, boolean(False))),
                     let(U7, eq(s("a"), s("ab"))), let(S7, eq(NULL, NULL))]),
    "float_division": run([let(X, op(DIV, i(1), f(0.0))), let(Y, op(DIV, f(-1.5), i(0))),
                           let(U0, op(DIV, f(0.0), i(0))), let(U1, op(SUB, f("inf"), f("inf")))]),
    "float_print": run([let(U0, f(1e16)), let(U1, f(1.5e-5)), let(U7, f("denorm")),
                        let(UMAX, f("max")), let(X, f(0.1)), let(Y, f(1e-4)), let(S7, f("2^53"))]),
    "raw_numbers": run([let(X, i_raw(-12345678901234)), let(Y, f_raw(-3.25e-300)),
                        let(U0, op(ADD, i_raw(2**62), i_raw(2**62)))]),
    "texts": run([let(sid(ascii_("k"), control(0x1B), quote(0), quote(1), combining(1), astral(0x1F600)),
                      s_text(control(0), control(9), bmp(0x2028), special(2), raw(0xFF))),
                  let(E_ACUTE, s("\x85")), let(QUOTED, s("\n")), let(CONTROLS, s("\0")),
                  let(ZWSP, s("\u2028")), let(ESCAPE, s("\x7f")),
                  let(uid(4000000000), var(sid(ascii_("k"), control(0x1B), quote(0), quote(1),
                                               combining(1), astral(0x1F600))))]),
    "runs_share_machine": run([let(X, i(1))]) + run([let(Y, var(X)), let(X, var(COUNTER)), let(U1, i(1))])
                          + run([let(X, op(ADD, var(X), var(Y)))]),
    "clone_list": run([let(X, s("ab")), if_(boolean(True), [let(Y, var(X))])], clone_list_after=True),
    "clone_statements": run([let(X, i(0))]) + run([let(X, op(ADD, var(X), i(1)))], clone_statements_before=True),
    "one_call_per_statement": run([let(X, i(1)), let(Y, var(U0)), let(U0, i(2))],
                                  one_call_per_statement=True),
    "all_flags": run([let(X, i(7)), if_(gt(var(X), i(2)), [let(X, op(SUB, var(X), i(1)))])],
                     clone_list_after=True, clone_statements_before=True, one_call_per_statement=True),
    "deep_sum": run([let(X, i(1)), let(Y, deep_expr(200, 0, ADD, i(0), var(X)))]),
    "deep_nots": run([let(X, deep_expr(4096, 2, ADD, boolean(True), NULL))]),
    "deep_failure": run([let(X, op(ADD, deep_expr(3000, 1, MUL, i(1), i(2)), s_text(ascii_("b"), ascii_("o"), ascii_("o"), ascii_("m"))))]),
    "deep_if_alternating": run([deep_if(3000, 1, let(Y, s("\U0001F600"))), let(X, var(Y))]),
    "deep_if_binding_after": run([deep_if(300, 3, let(U1, var(U1)))]),
    "deep_if_condition": run([let(X, boolean(False)), deep_if(50, 2, let(Y, i(1)), cond=var(X))],
                             clone_list_after=True),
}


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    for old in OUT.iterdir():
        old.unlink()
    for name, data in SEEDS.items():
        (OUT / name).write_bytes(data)
    print(f"wrote {len(SEEDS)} seeds to {OUT}")


if __name__ == "__main__":
    main()
