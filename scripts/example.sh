#!/usr/bin/env bash
# Sets up a Python 3.12 environment, installs the package and runs the
# example program.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/find-python.sh"
venv=$root/build/venv-example
[ -x "$venv/bin/python" ] || "$(python_for 3.12)" -m venv "$venv"
"$venv/bin/python" -m pip install -q "$root"
"$venv/bin/python" "$root/examples/shipping_fee.py"
