"""The type stubs agree with the module, and type checkers find them."""

import os
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import zarn

pytest.importorskip("mypy")

STUBS_DIR = Path(__file__).resolve().parent.parent / "bindings"


def mypy_env(extra_path=None):
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    if extra_path is not None:
        env["MYPYPATH"] = str(extra_path)
    return env


def test_stubtest_passes_against_the_module(tmp_path):
    # The stub file of the source tree, checked against whichever zarn this
    # interpreter imports (installed or built in place).
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "zarn"],
        cwd=tmp_path, env=mypy_env(STUBS_DIR), capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.skipif(
    not zarn.__file__.startswith(sysconfig.get_paths()["platlib"]),
    reason="zarn is not installed in this environment",
)
def test_installed_stubs_are_found(tmp_path):
    (tmp_path / "use.py").write_text(textwrap.dedent("""
        from zarn import Expr, Statement, Velk
        v = Velk()
        v.run([Statement.let("x", Expr.literal(1))])
        reveal_type(v.get("x"))
        Expr.binary_op(1, "+", Expr.literal(2))
    """))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "use.py"],
        cwd=tmp_path, env=mypy_env(), capture_output=True, text=True, timeout=300,
    )
    assert 'Revealed type is "None | int | float | str"' in result.stdout, result.stdout
    assert 'Argument 1 to "binary_op" of "Expr" has incompatible type "int"' in result.stdout
    assert "Found 1 error" in result.stdout
