#!/usr/bin/env bash
# Runs the examples on a bare Debian 12 machine too: installs the missing
# build packages (as root), sets up a Python 3.12 environment, installs the
# package into it and runs examples/shipping_fee.py and
# examples/eligibility.py.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/deps.sh"
source "$root/scripts/find-python.sh"
source "$root/scripts/versions.sh"
ensure_debian_packages "${ZARN_BUILD_PACKAGES[@]}"
py=$(python_for "${ZARN_PYTHONS[0]}")
venv=$root/build/venv-example
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
log=$root/build/example-install.log
echo "installing zarn into $venv (log: $log)"
"$venv/bin/python" -m pip install -q "$root" > "$log" 2>&1 || { cat "$log" >&2; exit 1; }
"$venv/bin/python" "$root/examples/shipping_fee.py"
echo
"$venv/bin/python" "$root/examples/eligibility.py"
