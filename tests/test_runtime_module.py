"""PanicException can be imported by name: `from zarn_runtime import
PanicException`, in either import order, and it is the class that failures
raise."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import zarn
from support import PanicException as RAISED


def run_python(tmp_path, code):
    """Runs ``code`` in a fresh interpreter, away from the source tree."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


# Shared by the subprocess checks: the imported class is the one a failure
# raises, sys.modules holds the runtime module, and zarn is as it was.
CHECKS = """
    import sys
    import zarn
    try:
        zarn.Velk().get("missing")
    except PanicException as e:
        assert type(e) is PanicException
        assert str(e) == 'Value cannot be found: S("missing")'
    else:
        raise AssertionError("no failure")
    runtime = sys.modules["zarn_runtime"]
    assert runtime.PanicException is PanicException
    assert runtime.__all__ == ["PanicException", "set_limits", "set_default_limits", "set_fault_report", "bind", "read", "dumps", "loads"]
    assert zarn.__all__ == ["Velk", "Statement", "Expr"]
    assert not hasattr(zarn, "PanicException") and not hasattr(zarn, "zarn_runtime")
    print("ok")
"""


@pytest.mark.parametrize(
    "imports",
    [
        "from zarn_runtime import PanicException",
        "import zarn\nfrom zarn_runtime import PanicException",
        "import zarn_runtime\nPanicException = zarn_runtime.PanicException\nimport zarn",
        # Taken out of sys.modules after both were imported: the file runs
        # again and finds the same class.
        "import zarn, zarn_runtime\nfirst = zarn_runtime.PanicException\n"
        "del sys.modules['zarn_runtime']\nfrom zarn_runtime import PanicException\n"
        "assert PanicException is first",
        # zarn taken out and imported again registers nothing new.
        "import zarn_runtime\ndel sys.modules['zarn']\nimport zarn\n"
        "from zarn_runtime import PanicException\nassert PanicException is zarn_runtime.PanicException",
    ],
    ids=["runtime-first", "zarn-first", "module-attribute", "runtime-reimported", "zarn-reimported"],
)
def test_import_orders_give_the_raised_class(tmp_path, imports):
    code = "import sys\n" + imports + "\n" + textwrap.dedent(CHECKS)
    assert run_python(tmp_path, code).strip() == "ok"


def test_the_class_in_this_process_is_the_raised_one():
    from zarn_runtime import PanicException

    assert PanicException is RAISED
    assert PanicException.__bases__ == (BaseException,)
    assert f"{PanicException.__module__}.{PanicException.__qualname__}" == "zarn_runtime.PanicException"
    assert PanicException.__doc__.startswith(
        "Raised when the native code of the zarn extension fails with an internal fault.")
    assert not issubclass(PanicException, Exception)


def test_stubtest_passes_against_the_runtime_module(tmp_path):
    pytest.importorskip("mypy")
    env = dict(os.environ)
    # The source tree's stubs when the tests run from it, else the installed
    # zarn_runtime-stubs.
    env["MYPYPATH"] = str(Path(__file__).resolve().parent.parent / "bindings")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "zarn_runtime"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
