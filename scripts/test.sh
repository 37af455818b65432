#!/usr/bin/env bash
# Builds and runs every test, on a bare Debian 12 machine too (as root: the
# missing Debian packages are installed first):
#   1. the core's C++ suites (warnings as errors) and the embedding example,
#      then again with the portable waiting of systems without the futex;
#   2. the other systems (scripts/cross.sh): the core cross-compiled for
#      aarch64 Linux, musl, Windows and macOS, its tests run under qemu,
#      natively and under wine; the module compiled and linked for macOS
#      and Windows, and compiled as free-threaded CPython 3.14 builds it;
#   3. the sdist and the wheels (scripts/wheels.sh, ZARN_WHEELS=ci): the
#      x86-64 glibc wheel of every Python, each other Linux platform's
#      (aarch64 glibc, x86-64 and aarch64 musl) for one Python;
#   4. the whole Python suite against each x86-64 wheel installed in a clean
#      venv, from a copy of tests/ outside the source tree, part of it
#      against the aarch64 wheel under qemu with Debian's arm64 CPython,
#      and the suite against a module built by pip from the sdist alone;
#   5. the examples (eligibility.py's output against eligibility.expected,
#      dask_rules.py's results on a local Dask cluster against one process)
#      and mypy --strict over them and over python/ (zarn_text, against
#      the installed stubs of zarn and zarn_runtime);
#   6. the documentation, with warnings as errors, and every example in it
#      run as a doctest (scripts/docs.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/deps.sh"
source "$root/scripts/find-python.sh"
source "$root/scripts/versions.sh"
build=$root/build/test
# ZARN_PLATFORMS=host leaves out steps 2 and the other platforms' parts of
# 3 and 4, for a quicker run of this machine's own platform only (the
# default, all, is what CI runs).
platforms=${ZARN_PLATFORMS:-all}
case $platforms in host | all) ;; *) echo "ZARN_PLATFORMS must be host or all, not '$platforms'" >&2; exit 2 ;; esac
start_all=$SECONDS

ensure_debian_packages "${ZARN_TEST_PACKAGES[@]}" "${ZARN_WHEEL_PACKAGES[@]}"
[ "$platforms" = host ] || ensure_debian_packages "${ZARN_CROSS_PACKAGES[@]}"
# Every Python is looked for before anything is built, so a missing one
# stops the run at once.
declare -A python
for v in "${ZARN_PYTHONS[@]}"; do python[$v]=$(python_for "$v"); done

step_start=$SECONDS
# Each step's line says how long the one before it took, and the time so far.
step() {
    echo "== $* (previous step: $((SECONDS - step_start))s; so far: $((SECONDS - start_all))s)"
    step_start=$SECONDS
}

step "C++: build and run the core's tests and the embedding example"
mkdir -p "$build"
cmake -S "$root" -B "$build/cpp" -DVELK_WERROR=ON -DZARN_BUILD_MODULE=OFF > "$build/cmake.log" 2>&1 ||
    { cat "$build/cmake.log" >&2; exit 1; }
cmake --build "$build/cpp" -j2
ctest --test-dir "$build/cpp" --output-on-failure -j2

step "C++: the core's tests with the portable waiting (std::atomic's wait in place of the futex)"
cmake -S "$root" -B "$build/cpp-portable-wait" -DVELK_WERROR=ON -DZARN_BUILD_MODULE=OFF -DVELK_LTO=OFF \
    -DVELK_PORTABLE_WAIT=ON > "$build/cmake-portable-wait.log" 2>&1 ||
    { cat "$build/cmake-portable-wait.log" >&2; exit 1; }
cmake --build "$build/cpp-portable-wait" -j2
ctest --test-dir "$build/cpp-portable-wait" --output-on-failure -j2

if [ "$platforms" = all ]; then
    step "the core on other systems (scripts/cross.sh)"
    bash "$root/scripts/cross.sh"
fi

step "sdist and wheels"
dist=$build/dist
if [ "$platforms" = all ]; then wheels=ci; else wheels=x86_64; fi
ZARN_WHEELS=$wheels bash "$root/scripts/wheels.sh" "$dist"
sdist=$(ls "$dist"/zarn-*.tar.gz)

# new_venv VERSION DIR: a clean venv with an up-to-date pip.
new_venv() {
    "${python[$1]}" -m venv --clear "$2"
    "$2/bin/python" -m pip install -q --upgrade pip 2> "$2.pip.log" || { cat "$2.pip.log" >&2; return 1; }
}

# pip_quiet VENV ARGS...: pip install, its output shown only on failure.
pip_quiet() {
    local venv=$1
    shift
    "$venv/bin/python" -m pip install -q "$@" > "$venv.pip.log" 2>&1 || { cat "$venv.pip.log" >&2; return 1; }
}

# run_suite VENV [PYTEST ARGS...]: the Python suite from a copy of tests/
# (and of examples/, which test_compile.py reads) outside the source tree, so
# `import zarn` finds only the installed module.
run_suite() {
    local venv=$1 copy
    shift
    copy=$(mktemp -d)
    cp -r "$root/tests" "$copy/tests"
    cp -r "$root/examples" "$copy/examples"
    (
        cd "$copy"
        "$venv/bin/python" -c '
import sys, zarn
assert zarn.__file__.startswith(sys.prefix), f"zarn imported from {zarn.__file__}, not from {sys.prefix}"
print("zarn from", zarn.__file__)'
        [ $# -gt 0 ] || set -- tests
        "$venv/bin/python" -m pytest -q -rs -p no:cacheprovider "$@"
    )
    rm -rf "$copy"
}

for v in "${ZARN_PYTHONS[@]}"; do
    # manylinux2014: the wheel must install wherever glibc is 2.17 or newer.
    wheel=$(ls "$dist"/zarn-*-cp${v/./}-*manylinux_2_17_x86_64*.whl)
    step "Python $v: the suite against $(basename "$wheel")"
    venv=$build/venv-$v
    new_venv "$v" "$venv"
    # The wheel alone, from no index: nothing may be built.
    pip_quiet "$venv" --no-index "$wheel"
    # Then the test dependencies (the package's `test` extra) from PyPI.
    pip_quiet "$venv" "$wheel[test]"
    run_suite "$venv"
done

if [ "$platforms" = all ]; then
    last=${ZARN_PYTHONS[-1]}
    wheel=$(ls "$dist"/zarn-*-cp${last/./}-*manylinux_2_17_aarch64*.whl)
    step "Python $last on aarch64 (qemu): part of the suite against $(basename "$wheel")"
    # Debian's arm64 CPython, run under qemu-aarch64; the wheel unpacked and
    # pytest (pure Python) beside it. The part: the files that start no
    # subprocess (qemu runs no foreign program of itself), need nothing but
    # pytest, and run in a few minutes under emulation.
    arm=$(bash "$root/scripts/debian-python.sh" "$last" arm64)
    site=$build/aarch64-site
    rm -rf "$site" && mkdir -p "$site"
    host_python=${python[${ZARN_PYTHONS[0]}]}
    "$host_python" -m zipfile -e "$wheel" "$site"
    "$host_python" -m pip install -q --target "$site" pytest > "$build/aarch64-pytest.log" 2>&1 ||
        { cat "$build/aarch64-pytest.log" >&2; exit 1; }
    (
        cd "$(mktemp -d)"
        cp -r "$root/tests" tests
        PYTHONPATH=$site qemu-aarch64 "$arm" -c 'import platform, zarn; print("zarn on", platform.machine(), "from", zarn.__file__)'
        PYTHONPATH=$site qemu-aarch64 "$arm" -m pytest -q -p no:cacheprovider tests/test_binding.py \
            tests/test_builders.py tests/test_machine.py tests/test_semantics.py tests/test_repr.py
    )
fi

first=${ZARN_PYTHONS[0]}
step "Python $first: the suite against the module built from $(basename "$sdist") alone"
venv=$build/venv-sdist
new_venv "$first" "$venv"
pip_quiet "$venv" "$sdist[test]"
run_suite "$venv"

venv=$build/venv-$first
step "examples (Python $first, installed wheel)"
"$venv/bin/python" "$root/examples/shipping_fee.py" > /dev/null
echo "shipping_fee.py: ran"
# Its failing applications write fault reports to stderr, as every failure does.
"$venv/bin/python" "$root/examples/eligibility.py" 2> /dev/null | diff -u "$root/examples/eligibility.expected" -
bad_rules=$(mktemp)
echo '{"inputs": [], "outputs": [], "rules": [{"let": "x"}]}' > "$bad_rules"
if "$venv/bin/python" "$root/examples/eligibility.py" "$bad_rules" 2> /dev/null; then
    echo "eligibility.py accepted a rule file without an expression" >&2
    exit 1
fi
rm -f "$bad_rules"
echo "eligibility.py: output as in eligibility.expected; a malformed rule file refused"
# Dask comes from PyPI into this venv only: it is heavy, and no test of the
# suite needs it. dask_rules.py exits 1 when the cluster's results differ
# from the same orders run in one process.
pip_quiet "$venv" "dask[distributed]"
"$venv/bin/python" "$root/examples/dask_rules.py"
(cd "$root/examples" && "$venv/bin/python" -m mypy --strict --no-incremental --cache-dir=/dev/null .)
(cd "$root/python" && "$venv/bin/python" -m mypy --strict --no-incremental --cache-dir=/dev/null .)

step "documentation (against the installed wheel)"
bash "$root/scripts/docs.sh" "$venv/bin/python"

step "all passed"
