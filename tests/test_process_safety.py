"""Nothing the module does aborts the process or leaves it unable to import
zarn: threads ended at exit, subinterpreters, calls at the recursion limit.
Each case runs in a fresh interpreter."""

import importlib.util
import re
import subprocess
import sys
import textwrap

import pytest


def run_child(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)


# A daemon thread still inside a zarn call when the interpreter shuts down:
# CPython ends it with pthread_exit as it wakes up, and that unwinding must
# cross the module's frames.
SLEEPING_CALLS = {
    "run converts a sequence": "Velk().run(Sleeps())",
    "ident converts an __index__": "Expr.ident(Sleeps())",
    "if_ converts a list": "Statement.if_(Expr.literal(1), Sleeps(), [])",
    "a released iterator's __del__": "Velk().run(SleepsWhenReleased())",
}


@pytest.mark.parametrize("call", SLEEPING_CALLS.values(), ids=SLEEPING_CALLS.keys())
def test_daemon_thread_inside_a_call_at_exit(call):
    code = f"""
        import threading, time
        from zarn import Expr, Statement, Velk

        entered = threading.Event()  # set from inside the zarn call

        def sleep_forever(*args):
            entered.set()
            while True:
                time.sleep(0.001)

        class Sleeps:
            __len__ = lambda self: 1
            __getitem__ = __index__ = sleep_forever

        class SleepsWhenReleased:
            __len__ = lambda self: 0
            __getitem__ = sleep_forever  # not called: iteration comes first
            __iter__ = lambda self: iter(Forgotten())

        class Forgotten:
            __iter__ = lambda self: self
            def __next__(self):
                raise StopIteration
            __del__ = sleep_forever

        threading.Thread(target=lambda: {call}, daemon=True).start()
        print("exiting" if entered.wait(60) else "the thread never entered the call")
    """
    for _ in range(5):
        result = run_child(code)
        assert (result.returncode, result.stdout, result.stderr) == (0, "exiting\n", "")


SUBINTERPRETERS = next((name for name in ("_interpreters", "_xxsubinterpreters")
                        if importlib.util.find_spec(name)), None)
needs_subinterpreters = pytest.mark.skipif(SUBINTERPRETERS is None, reason="no subinterpreter module")

REFUSED_HERE = "does not support loading in subinterpreters"  # CPython's own refusal
REFUSED_BY_ZARN = "zarn does not support sub-interpreters"
WORKS = 'works 2 Value cannot be found: S("y")'
PANIC_REPORT = r"zarn: thread '[^']*' \(\d+\) faulted at [^\n]+:\nValue cannot be found: S\(\"y\"\)\n"

# Preamble of the subinterpreter scripts: `create(isolated)`, `run(interp,
# code)`, which gives the error text in the subinterpreter or None, and
# `main_import()`, which gives the import error or WORKS.
SUBINTERPRETER_HELPERS = textwrap.dedent(f"""
    import sys
    import {SUBINTERPRETERS} as si

    def create(isolated):
        if sys.version_info >= (3, 13):
            return si.create("isolated" if isolated else "legacy")
        return si.create(isolated=isolated)

    def run(interp, code):
        try:
            failure = si.run_string(interp, code)  # 3.13 returns it
        except si.RunFailedError as e:             # 3.12 raises it
            return str(e).replace("<class 'ImportError'>", "ImportError")
        return failure and failure.formatted

    def main_import():
        try:
            import zarn
        except ImportError as e:
            return str(e)
        v = zarn.Velk()
        v.run([zarn.Statement.let("x", zarn.Expr.literal(2))])
        from zarn_runtime import PanicException
        try:
            v.get("y")
        except PanicException as e:
            return f"works {{v.get('x')}} {{e}}"

    REFUSED_HERE, REFUSED_BY_ZARN = {REFUSED_HERE!r}, {REFUSED_BY_ZARN!r}
""")

SUBINTERPRETER_CASES = {
    "an isolated import is refused and forgotten": ("""
        interp = create(isolated=True)
        print(REFUSED_HERE in run(interp, "import zarn"))
        si.destroy(interp)
        print(main_import())
    """, ["True", WORKS]),
    "a refused import owns nothing, while its interpreter lives and after": ("""
        interp = create(isolated=True)
        print(REFUSED_HERE in run(interp, "import zarn"))
        print(run(interp, "import zarn_runtime") is not None)  # refused the same way
        print(main_import())
        print(run(interp, "import zarn") is not None)
        si.destroy(interp)
        print(main_import())
    """, ["True", "True", WORKS, "True", WORKS]),
    "a living owner keeps the module, a dead one gives it up": pytest.param("""
        interp = create(isolated=False)
        print(run(interp, "import zarn; zarn.Velk().run([])"))
        print(REFUSED_BY_ZARN in main_import())
        si.destroy(interp)
        print(main_import())
    """, ["None", "True", WORKS], marks=pytest.mark.skipif(
        sys.version_info >= (3, 13), reason="3.13 runs the initialisation in the main interpreter "
        "first, so no subinterpreter owns zarn")),
}


@needs_subinterpreters
@pytest.mark.parametrize("script, expected", SUBINTERPRETER_CASES.values(), ids=SUBINTERPRETER_CASES.keys())
def test_subinterpreters(script, expected):
    result = run_child(SUBINTERPRETER_HELPERS + textwrap.dedent(script))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == expected
    assert re.fullmatch(PANIC_REPORT * expected.count(WORKS), result.stderr), result.stderr


def test_conversion_errors_at_the_recursion_limit():
    """Building a conversion error near the limit may fail itself: the caller
    gets that RecursionError or the usual TypeError, and nothing is printed."""
    code = """
        import sys, threading
        from zarn import Expr, Statement

        def outcome(call):
            try:
                call()
            except BaseException as e:
                return type(e), str(e)

        CALLS = [lambda: Expr.not_(1), lambda: Expr.not_(bogus=1), lambda: Expr.literal(object()),
                 lambda: Expr.ident(1.5), lambda: Statement.if_(Expr.literal(1), iter(()), [])]
        usual = {outcome(call) for call in CALLS}
        seen = set()

        def attempts(levels):  # each level takes one more unit of the C recursion budget
            seen.update(outcome(call) for call in CALLS)
            if levels:
                list(map(lambda _: attempts(levels - 1), [0]))

        class Deep:  # recursion through str() uses the C recursion budget up
            def __str__(self):
                try:
                    str(self)
                except RecursionError:
                    pass
                attempts(4)
                return ""

        def main():
            sys.setrecursionlimit(10**6)  # the C budget runs out first
            str(Deep())

        threading.stack_size(256 << 20)
        thread = threading.Thread(target=main)
        thread.start()
        thread.join()
        recursion = {o for o in seen if o[0] is RecursionError}
        print(seen - usual - recursion, bool(recursion))
    """
    result = run_child(code)
    assert (result.returncode, result.stdout, result.stderr) == (0, "set() True\n", "")
