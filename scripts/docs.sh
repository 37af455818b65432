#!/usr/bin/env bash
# Builds the documentation in docs/ with Sphinx, warnings as errors, and
# runs every example in it as a doctest against the installed package.
#
#   bash scripts/docs.sh [PYTHON]
#
# PYTHON is the interpreter of a venv in which zarn is installed (the test
# command passes the one holding the 3.12 wheel); without it, a venv
# build/venv-docs gets the package built from this checkout. Sphinx comes
# from docs/requirements.txt. Output: build/docs/html.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/docs
mkdir -p "$out"
if [ $# -gt 0 ]; then
    py=$1
else
    source "$root/scripts/find-python.sh"
    source "$root/scripts/versions.sh"
    venv=$root/build/venv-docs
    [ -x "$venv/bin/python" ] || "$(python_for "${ZARN_PYTHONS[0]}")" -m venv "$venv"
    py=$venv/bin/python
    "$py" -m pip install -q "$root" > "$out/install.log" 2>&1 || { cat "$out/install.log" >&2; exit 1; }
fi
"$py" -m pip install -q -r "$root/docs/requirements.txt" > "$out/pip.log" 2>&1 || { cat "$out/pip.log" >&2; exit 1; }

# From outside the tree, so the examples import the installed package.
cd "$out"
echo "== html"
"$py" -m sphinx -W --keep-going -q -b html -d "$out/doctrees" "$root/docs" "$out/html"
echo "html: $out/html/index.html"
echo "== doctest"
# A failing example writes its fault report to stderr (as every failure
# does); only Sphinx's own output is kept.
"$py" -m sphinx -W --keep-going -q -b doctest -d "$out/doctrees" "$root/docs" "$out/doctest" 2> "$out/doctest.stderr" ||
    { cat "$out/doctest.stderr" "$out/doctest/output.txt" >&2; exit 1; }
tail -n 4 "$out/doctest/output.txt"
