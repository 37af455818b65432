#!/usr/bin/env bash
# Builds and runs every test: the core's C++ suites (warnings as errors),
# then the Python suite against the package as `pip install .` builds it,
# under Python 3.12 and 3.13.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/find-python.sh"
build=$root/build/test

echo "== C++: build and run the core's tests"
cmake -S "$root" -B "$build/cpp" -DVELK_WERROR=ON -DZARN_BUILD_MODULE=OFF
cmake --build "$build/cpp" -j2
ctest --test-dir "$build/cpp" --output-on-failure -j2

for v in 3.12 3.13; do
    echo "== Python $v: install the package and run the suite"
    py=$(python_for "$v")
    venv=$build/venv-$v
    [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q "$root[test]"
    (cd "$root" && "$venv/bin/python" -m pytest -q -p no:cacheprovider tests)
done
