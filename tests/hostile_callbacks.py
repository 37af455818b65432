"""Hostile callbacks: arguments whose Python methods fight the module.

Keys, values, statement sequences and mappings whose ``__index__``,
``__float__``, ``__repr__``, ``__len__``, ``__getitem__`` and ``__iter__``
clear or grow the container they came in, raise (ordinary errors and
KeyboardInterrupt or SystemExit), collect garbage, or re-enter the machine
they are being given to. Each round builds such arguments from a seeded
random generator and calls ``bind``, ``run``, ``if_``, ``literal``,
``ident``, ``let`` and ``get`` with them. After every call:

- no SystemError; an interrupt a callback raised reaches the caller as the
  same object; a refused key or value is a TypeError that names its key;
- ``bind`` bound exactly the entries the mapping held when the call began,
  whatever the callbacks did to it meanwhile;
- the machine still runs and reads.

A crash or a sanitizer report is a finding too: tests/test_hostile_callbacks.py
runs a fixed number of rounds in the suite, so also against the
AddressSanitizer build (scripts/sanitize-python.sh, part of
scripts/hardening.sh, which runs this file for longer as well):

    python tests/hostile_callbacks.py [--seconds S] [--seed N]
"""

from __future__ import annotations

import argparse
import collections
import collections.abc
import gc
import random
import sys
import time

import zarn
import zarn_runtime

from support import parse_machine_repr

Expr, Statement, Velk = zarn.Expr, zarn.Statement, zarn.Velk
PanicException = zarn_runtime.PanicException

ACTIONS = ["nothing", "clear", "grow", "replace", "raise", "interrupt", "reenter", "collect"]


class Scene:
    """One call's world: the container the callbacks attack and the machine."""

    def __init__(self, rng: random.Random, container, machine: Velk):
        self.rng, self.container, self.machine = rng, container, machine
        self.interrupts: list[BaseException] = []  # raised by callbacks, in order
        self.limited = False  # a callback set byte limits on the machine

    def act(self, where: str):
        try:
            self.act_once(where)
        except BaseException as exc:
            if not isinstance(exc, Exception):  # an interrupt, or a PanicException of a re-entry
                self.interrupts.append(exc)
            raise

    def act_once(self, where: str):
        action = self.rng.choice(ACTIONS)
        c = self.container
        if action == "clear":
            c.clear()
            # New objects of the same sizes take the freed memory.
            self.litter = ["y" * 100 for _ in range(64)]
        elif action == "grow":
            for i in range(self.rng.randint(1, 40)):
                item = f"grown{i}"
                if isinstance(c, list):
                    c.append(Statement.let(item, Expr.literal(i)))
                else:
                    c[item] = "g" * self.rng.randint(1, 100)
        elif action == "replace":
            if isinstance(c, list):
                c[:] = [Statement.let("replaced", Expr.literal(0))] * len(c)
            else:
                for key in list(c):
                    c[key] = "r" * self.rng.randint(90, 110)
        elif action == "raise":
            raise ValueError(f"{where} refuses")
        elif action == "interrupt":
            raise self.rng.choice([KeyboardInterrupt, SystemExit])(where)
        elif action == "reenter":
            self.reenter()
        elif action == "collect":
            gc.collect(0)  # the young generation: a full collection over the suite's heap costs seconds

    def reenter(self):
        m = self.machine
        kind = self.rng.randrange(4)
        if kind == 0:
            m.run([Statement.let("re_run", Expr.literal("inner"))])
        elif kind == 1:
            zarn_runtime.bind(m, {"re_bind": 7})
        elif kind == 2:
            self.limited = True
            zarn_runtime.set_limits(m, max_bytes=self.rng.choice([0, 50, 10**6]))
        else:
            m.get("re_missing")  # PanicException, not an Exception: it must pass as it is


class Key:
    """A key that is no int but has __index__ (and a Python __repr__)."""

    def __init__(self, scene: Scene, n: int):
        self.scene, self.n = scene, n

    def __index__(self):
        self.scene.act("key __index__")
        return self.n

    def __repr__(self):
        self.scene.act("key __repr__")
        return f"Key({self.n})"

    def __hash__(self):
        return self.n

    def __eq__(self, other):
        return isinstance(other, Key) and other.n == self.n


class Number:
    """A value that is no int but has __index__."""

    def __init__(self, scene: Scene, n: int):
        self.scene, self.n = scene, n

    def __index__(self):
        self.scene.act("value __index__")
        return self.n


class Real:
    """A value with __float__ only."""

    def __init__(self, scene: Scene, x: float):
        self.scene, self.x = scene, x

    def __float__(self):
        self.scene.act("value __float__")
        return self.x


class Sequence:
    """A statement sequence that is no list, over the scene's list."""

    def __init__(self, scene: Scene):
        self.scene = scene

    def __len__(self):
        self.scene.act("sequence __len__")
        return len(self.scene.container)

    def __getitem__(self, i):
        self.scene.act("sequence __getitem__")
        return self.scene.container[i]


class Mapping(collections.abc.Mapping):
    """A mapping that is no dict, over the scene's dict."""

    def __init__(self, scene: Scene):
        self.scene = scene

    def __getitem__(self, key):
        self.scene.act("mapping __getitem__")
        return self.scene.container[key]

    def __iter__(self):
        self.scene.act("mapping __iter__")
        return iter(list(self.scene.container))

    def __len__(self):
        return len(self.scene.container)


# --------------------------------------------------------------------------
# What bind must bind


def identifier(key):
    """The variable a key names, as Velk.get takes it, or None when refused."""
    if type(key) is str:
        return key
    if type(key) is int or isinstance(key, Key):
        n = key if type(key) is int else key.n
        return n if 0 <= n < 2**32 else None
    return None


def literal(value):
    if isinstance(value, Number):
        return value.n
    if isinstance(value, Real):
        return value.x
    return value


def hostile_key(scene: Scene):
    r = scene.rng.randrange(6)
    if r == 0:
        return Key(scene, scene.rng.choice([0, 5, 2**32, -1]))
    if r == 1:
        return (1,)  # refused
    return scene.rng.choice(["a", "b", "é", 3, 2**40]) if r == 2 else f"k{scene.rng.randrange(6)}"


def hostile_value(scene: Scene):
    r = scene.rng.randrange(6)
    if r == 0:
        return Number(scene, scene.rng.randrange(-5, 5))
    if r == 1:
        return Real(scene, scene.rng.random())
    if r == 2:
        return [1]  # refused
    # Texts made now, not constants: the container holds their only reference.
    return scene.rng.choice([None, True, 1.5, -3, "x" * scene.rng.randint(90, 110), "ü" * scene.rng.randint(1, 3)])


# --------------------------------------------------------------------------
# The calls and their checks


Stats = collections.Counter


def check_outcome(scene: Scene, exc: BaseException | None, stats: Stats, what: str):
    if scene.interrupts:
        assert exc is scene.interrupts[0], f"{what}: {scene.interrupts[0]!r} became {exc!r}"
        stats[f"{what}: interrupt passed"] += 1
        return
    assert not isinstance(exc, SystemError), f"{what}: {exc!r}"
    assert exc is None or isinstance(exc, (Exception, PanicException)), f"{what}: {exc!r}"
    stats[f"{what}: {'ok' if exc is None else type(exc).__name__}"] += 1


def still_usable(m: Velk):
    zarn_runtime.set_limits(m)
    m.run([Statement.let("probe", Expr.literal(1))])
    assert m.get("probe") == 1
    repr(m)


def call(scene: Scene, stats: Stats, what: str, f):
    try:
        f()
        exc = None
    except BaseException as caught:  # noqa: BLE001 - judged by check_outcome
        exc = caught
    check_outcome(scene, exc, stats, what)
    return exc


def round_of_bind(rng: random.Random, stats: Stats):
    m = Velk()
    scene = Scene(rng, {}, m)
    for _ in range(rng.randint(1, 6)):
        scene.container[hostile_key(scene)] = hostile_value(scene)
    held = list(scene.container.items())  # what the call must bind
    form = rng.randrange(4)
    given = {0: lambda: scene.container, 1: lambda: Mapping(scene),
             2: lambda: collections.UserDict(scene.container),
             3: lambda: collections.ChainMap(scene.container)}[form]()
    if form == 2:
        scene.container = given.data  # UserDict copies: its own dict is the one attacked
    exc = call(scene, stats, "bind", lambda: zarn_runtime.bind(m, given))
    if isinstance(exc, TypeError):
        text = str(exc)
        assert text.startswith(("argument 'values': key ", "argument 'values': values[")), text
    if exc is None and form != 1 and not scene.limited:  # a Mapping's __iter__ acts first
        expected = {}
        for key, value in held:
            expected[identifier(key)] = value
        for name, value in expected.items():
            got = m.get(name)
            # A Number whose __index__ raised once is read as F64, by __index__ again.
            kinds = (int, float) if isinstance(value, Number) else (type(literal(value)),)
            assert got == literal(value) and type(got) in kinds, (name, got, held, repr(m))
        extra = len(parse_machine_repr(repr(m))) - len(expected) - ("re_run" in repr(m)) - ("re_bind" in repr(m))
        assert extra == 0, ("bound other entries than the mapping held", repr(m), held)
        stats["bind: bound exactly what it held"] += 1
    still_usable(m)


def round_of_statements(rng: random.Random, stats: Stats):
    m = Velk()
    scene = Scene(rng, [Statement.let(f"s{i}", Expr.literal(i)) for i in range(rng.randint(0, 5))], m)
    kind = rng.randrange(4)
    if kind == 0:
        call(scene, stats, "run", lambda: m.run(Sequence(scene)))
    elif kind == 1:
        call(scene, stats, "if_", lambda: Statement.if_(Expr.literal(True), Sequence(scene), Sequence(scene)))
    elif kind == 2:
        call(scene, stats, "literal", lambda: Expr.literal(hostile_value(scene)))
    else:
        key = hostile_key(scene)
        f = rng.choice([lambda: Expr.ident(key), lambda: m.get(key),
                        lambda: Statement.let(key, Expr.literal(1))])
        call(scene, stats, "identifier", f)
    still_usable(m)


def run(seed: int, rounds: int | None = None, seconds: float | None = None) -> Stats:
    """Rounds until either bound; the outcomes counted by kind."""
    rng = random.Random(seed)
    stats = Stats()
    end = None if seconds is None else time.monotonic() + seconds
    done = 0
    zarn_runtime.set_fault_report(False)  # the failures provoked on purpose
    try:
        while (rounds is None or done < rounds) and (end is None or time.monotonic() < end):
            rng.choice([round_of_bind, round_of_statements])(rng, stats)
            done += 1
    finally:
        zarn_runtime.set_fault_report(True)  # the default, which the other tests expect
    stats["rounds"] = done
    return stats


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--seed", type=int, default=2026)
    args = parser.parse_args()
    stats = run(args.seed, seconds=args.seconds)
    for what, count in sorted(stats.items()):
        print(f"{count:8} {what}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
