#!/usr/bin/env bash
# The whole Python suite against an AddressSanitizer + UndefinedBehaviorSanitizer
# build of the module (with the failing operator new of ZARN_ALLOC_FAULTS, so
# the allocation-failure sweep runs under the sanitizers too).
#
# The module is built by pip (scikit-build-core) with clang into its own venv;
# the interpreter itself is not instrumented, so the sanitizer runtime is
# preloaded. Leak detection is off: CPython keeps memory until exit by design.
# Subprocesses started by the tests inherit the environment, so they run
# under the sanitizers as well.
#
#   scripts/sanitize-python.sh [pytest arguments...]   (default: the tests/ dir)
#
# Without arguments the hostile-callback harness (tests/hostile_callbacks.py)
# then runs for HOSTILE_SECONDS (default 60) more, with a fixed seed.
#
# Build directory: build/python-asan; venv: build/venv-python-asan
# (override with VENV=...).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/find-python.sh"
build=$root/build/python-asan
venv=${VENV:-$root/build/venv-python-asan}

export CC=clang CXX=clang++
runtime=$(clang -print-file-name=libclang_rt.asan-x86_64.so)
if [ ! -f "$runtime" ]; then
    echo "no AddressSanitizer runtime for clang at '$runtime'" >&2
    exit 1
fi

echo "== venv ($venv) and the instrumented module ($build)"
[ -x "$venv/bin/python" ] || "$(python_for 3.12)" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q scikit-build-core pytest hypothesis numpy
start=$SECONDS
"$venv/bin/python" -m pip install -q --no-build-isolation --force-reinstall --no-deps "$root" \
    -C build-dir="$build" \
    -C cmake.build-type=RelWithDebInfo \
    -C cmake.define.VELK_SANITIZE=address \
    -C cmake.define.ZARN_ALLOC_FAULTS=ON \
    -C cmake.define.VELK_WERROR="${VELK_WERROR:-ON}"
echo "built in $((SECONDS - start))s"

echo "== the Python suite under ASan+UBSan"
# The Python suite is the tests/ directory unless arguments say otherwise.
harness_seconds=0
[ $# -gt 0 ] || { set -- tests; harness_seconds=${HOSTILE_SECONDS:-60}; }
start=$SECONDS
status=0
(
    cd "$root"
    export LD_PRELOAD=$runtime
    export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:alloc_dealloc_mismatch=1
    export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
    if [ "$harness_seconds" -gt 0 ]; then
        echo "== the hostile-callback harness for ${harness_seconds}s"
        "$venv/bin/python" tests/hostile_callbacks.py --seconds "$harness_seconds" --seed 22
    fi
) || status=$?
if [ "$status" -eq 0 ]; then
    echo "ASan+UBSan Python suite: passed in $((SECONDS - start))s"
else
    echo "ASan+UBSan Python suite: FAILED (pytest status $status) after $((SECONDS - start))s" >&2
fi
exit "$status"
