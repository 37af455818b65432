"""Deep trees from Python, on a small native stack.

Each case builds a tree a million levels deep with the builders (every
builder call shares its operands, so building is linear in depth), runs it,
prints a machine holding its value and drops everything, all inside a thread
whose stack is 256 KiB, in a child process of its own: a native recursion
per level would overflow that stack and kill the child. Each case must
either work or raise a clean Python exception; with this module they all
work. The right-nested join stays at 10,000 levels: its evaluation joins
ever longer texts, which is quadratic in the text however the tree is built.

tests/depth_limits.py runs the same cases at larger depths and reports times.
"""

from __future__ import annotations

import ast
import string
import subprocess
import sys

import pytest

DEPTH = 1_000_000
JOIN_DEPTH = 10_000  # for the right-nested join, see above
THREAD_STACK = 256 * 1024

# Each case: the body of build(depth), which returns the statement list to
# run (binding the variable "r"), and the expected value of "r" at a depth.
LETTERS = string.ascii_lowercase
CASES = {
    "not": (
        "e = E.literal(True)\n"
        "for _ in range(depth):\n"
        "    e = E.not_(e)\n"
        "return [S.let('r', e)]",
        lambda depth: depth % 2 == 0,
    ),
    "binary_op_left": (
        "e = E.literal(0)\n"
        "for i in range(depth):\n"
        "    e = E.binary_op(e, '-' if i % 3 == 0 else '+', E.literal(i))\n"
        "return [S.let('r', e)]",
        lambda depth: sum(-i if i % 3 == 0 else i for i in range(depth)),
    ),
    "binary_op_right": (
        # Joins evaluate left before right: the text shows the order.
        "e = E.literal('!')\n"
        "for i in range(depth):\n"
        f"    e = E.binary_op(E.literal({LETTERS!r}[i % 26]), '+', e)\n"
        "return [S.let('r', e)]",
        lambda depth: "".join(LETTERS[i % 26] for i in reversed(range(depth))) + "!",
    ),
    "if_": (
        # Alternating branches: a wrong choice anywhere leaves "r" unbound.
        "s = S.let('r', E.literal(depth))\n"
        "for i in range(depth):\n"
        "    if i % 2:\n"
        "        s = S.if_(E.literal(False), [], [s])\n"
        "    else:\n"
        "        s = S.if_(E.literal(True), [s], [])\n"
        "return [s]",
        lambda depth: depth,
    ),
}


CHILD = """
import sys, threading, time
import zarn
E, S, V = zarn.Expr, zarn.Statement, zarn.Velk

def build(depth):
{body}

def work(depth, out):
    try:
        start = time.perf_counter()
        program = build(depth)
        built = time.perf_counter()
        v = V()
        v.run(program)
        value = v.get("r")
        text = repr(v)
        del program, v
        done = time.perf_counter()
        out.append(("ok", value, text, built - start, done - built))
    except BaseException as e:
        out.append(("raised", type(e).__name__, str(e)[:200]))

out = []
threading.stack_size({stack})
t = threading.Thread(target=work, args=(int(sys.argv[1]), out))
t.start()
t.join()
print(repr(out[0]))
"""


def child_code(case: str) -> str:
    body = "\n".join("    " + line for line in CASES[case][0].splitlines())
    return CHILD.format(body=body, stack=THREAD_STACK)


def start_case(case: str, depth: int) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-c", child_code(case), str(depth)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish_case(child: subprocess.Popen, timeout: float):
    """('ok', value, printed form, build s, run+print+drop s) or ('raised', type, text)."""
    try:
        out, err = child.communicate(timeout=timeout)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert child.returncode == 0, f"exit {child.returncode}\n{err[-3000:]}"
    return ast.literal_eval(out.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def children():
    # The cases run side by side, all started at once.
    started = {case: start_case(case, depth_of(case)) for case in CASES}
    yield started
    for child in started.values():
        if child.poll() is None:
            child.kill()
            child.communicate()


def depth_of(case: str) -> int:
    return JOIN_DEPTH if case == "binary_op_right" else DEPTH


def expected_entry(value) -> str:
    if isinstance(value, bool):
        return f'S("r"): Boolean({str(value).lower()})'
    if isinstance(value, int):
        return f'S("r"): Number(Int({value}))'
    return f'S("r"): String("{value}")'


@pytest.mark.parametrize("case", list(CASES))
def test_deep_tree_on_a_small_stack(case, children):
    outcome = finish_case(children[case], timeout=900)
    assert outcome[0] == "ok", outcome
    _, value, text, _, _ = outcome
    expected = CASES[case][1](depth_of(case))
    assert value == expected and type(value) is type(expected)
    assert expected_entry(expected) in text

