"""Resident memory stays flat over many calls, failing calls included."""

import subprocess
import sys
import textwrap

LOOP = textwrap.dedent(
    """
    import os, sys, zarn
    E, S, V = zarn.Expr, zarn.Statement, zarn.Velk
    PAGE = os.sysconf("SC_PAGE_SIZE")

    def resident():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * PAGE

    class Broken:
        def __len__(self):
            raise OverflowError("len")
        def __getitem__(self, i):
            raise ValueError("item")

    def expect(exc_type, call):
        try:
            call()
        except exc_type:
            return
        raise AssertionError("no failure")

    panic = None
    try:
        V().get(0)
    except BaseException as exc:
        panic = type(exc)

    keep = V()

    def once(i):
        k = i % 64
        lit_i, lit_s = E.literal(i), E.literal("text %d ü" % k)
        lit_f, lit_n, lit_b = E.literal(i / 7), E.literal(None), E.literal(True)
        big = E.literal(2**63 + i)
        x, u = E.ident("x"), E.ident(k)
        total = E.binary_op(lit_i, "+", x)
        joined = E.binary_op(lit_s, "+", E.literal("!"))
        cond = E.not_(E.equals(total, lit_s))
        order = E.greater_than(lit_f, lit_i)
        less = E.less_than(big, lit_f)
        let_x = S.let("x", total)
        branch = S.if_(cond, [let_x, S.let(k, joined)], (S.let("f", order), S.let("g", less)))
        keep.run([S.let("x", lit_i), branch, S.let("n", lit_n), S.let("b", lit_b)])
        keep.run(stmts=(S.let("u", u),))
        for name in ("x", k, "n", "b", "u"):
            keep.get(name)
        repr(keep)
        fresh = V()
        fresh.run([S.let(k, lit_s), S.let("s", joined)])
        fresh.get(ident="s")
        repr(fresh)
        # Failing calls of every kind.
        expect(TypeError, lambda: E.literal([i]))
        expect(TypeError, lambda: E.literal(10**400))
        expect(TypeError, lambda: E.ident(-1))
        expect(TypeError, lambda: E.ident("\\udc80"))
        expect(ValueError, lambda: E.binary_op(lit_i, "%", lit_i))
        expect(TypeError, lambda: E.binary_op(lit_i, "+", 5))
        expect(TypeError, lambda: E.equals(lit_i, let_x))
        expect(TypeError, lambda: E.not_(None))
        expect(TypeError, lambda: E.greater_than(lit_i))
        expect(TypeError, lambda: E.less_than(lit_i, lit_i, lit_i))
        expect(TypeError, lambda: S.let("y", 1))
        expect(TypeError, lambda: S.if_(cond, [let_x, lit_i], []))
        expect(TypeError, lambda: S.if_(cond, [], "x"))
        expect(TypeError, lambda: keep.run([let_x, branch, 3]))
        expect(ValueError, lambda: keep.run(Broken()))
        expect(TypeError, lambda: keep.get(2**40))
        expect(TypeError, lambda: keep.run(x=1))
        expect(TypeError, lambda: V(1))
        expect(TypeError, lambda: E())
        if i % PANIC_EVERY == 0:
            expect(panic, lambda: keep.get("missing %d" % k))
            expect(panic, lambda: fresh.run([S.let("q", E.binary_op(lit_i, "/", E.literal(0)))]))
            expect(panic, lambda: keep.run([S.let("q", E.not_(lit_s))]))

    PANIC_EVERY = int(sys.argv[3])
    warmup, total = int(sys.argv[1]), int(sys.argv[2])
    for i in range(warmup):
        once(i)
    before = resident()
    for i in range(warmup, total):
        once(i)
    after = resident()
    print(before, after)
    """
)


def test_resident_memory_stays_flat():
    warmup, total, panic_every = 10_000, 100_000, 1
    result = subprocess.run(
        [sys.executable, "-c", LOOP, str(warmup), str(total), str(panic_every)],
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,  # every panic writes a fault report
        text=True,
        timeout=1200,
    )
    assert result.returncode == 0, result.stdout
    before, after = map(int, result.stdout.split())
    growth = after - before
    print(f"resident after {warmup} warm-up iterations: {before / 2**20:.1f} MiB; "
          f"after {total}: {after / 2**20:.1f} MiB; growth {growth / 2**10:.0f} KiB")
    assert growth < 5 * 2**20
