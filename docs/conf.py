# Sphinx configuration of zarn's documentation (scripts/docs.sh builds it,
# with warnings as errors, and runs its examples as doctests).
import tomllib
from pathlib import Path

_project = tomllib.loads((Path(__file__).parent.parent / "pyproject.toml").read_text())["project"]

project = "zarn"
author = "the zarn developers"
release = version = _project["version"]

extensions = ["sphinx.ext.doctest"]
exclude_patterns = ["_build"]
html_theme = "alabaster"
html_static_path: list[str] = []
nitpicky = True
# Python's own names that the API pages refer to.
nitpick_ignore = [
    ("py:class", "collections.abc.Sequence"),
    ("py:class", "SupportsIndex"),
    ("py:class", "SupportsFloat"),
    ("py:mod", "copyreg"),
]

# Every page's examples run against the installed package.
doctest_global_setup = """
from zarn import Expr, Statement, Velk
from zarn_runtime import PanicException
"""
