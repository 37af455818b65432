#!/usr/bin/env bash
# Fuzzes the Python surface of the module with atheris (fuzz/python_fuzz.py)
# for SECONDS seconds, against an AddressSanitizer + UndefinedBehaviorSanitizer
# build of the module that also carries libFuzzer's coverage instrumentation
# (-fsanitize=fuzzer-no-link), so that native paths guide the fuzzer too.
# Findings (crash-* files) land in the build directory.
#
#   scripts/fuzz-python.sh [SECONDS] [extra libFuzzer options...]   (default 60)
#
# Atheris is installed with pip into its own Python 3.12 venv (atheris ships
# wheels for CPython 3.12; there is none for 3.13 yet, so 3.12 it is). The
# sanitizer runtime that atheris ships together with libFuzzer is preloaded,
# as the interpreter itself is not instrumented. Build directory:
# build/python-fuzz; venv: build/venv-python-fuzz (override
# with VENV=...); the working corpus stays in the build directory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/find-python.sh"
seconds=${1:-60}
shift || true
build=$root/build/python-fuzz
venv=${VENV:-$root/build/venv-python-fuzz}
corpus=$build/corpus

export CC=clang CXX=clang++
# The instrumentation of VELK_SANITIZE=address (address + undefined), given
# as flags so that two things can change: libFuzzer's coverage is added, and
# UBSan's vptr and function checks are left out, as the runtime atheris ships
# (ASan and libFuzzer, with UBSan's C handlers) lacks the handlers clang 14
# calls for them. VELK_NO_POOL keeps freed blocks out of the core's caches,
# as the sanitizer build does.
cxx_flags="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=vptr,function -fno-sanitize-recover=all"
cxx_flags+=" -fno-omit-frame-pointer -DVELK_NO_POOL"
echo "== venv ($venv): atheris and the instrumented module ($build)"
[ -x "$venv/bin/python" ] || "$(python_for 3.12)" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q atheris scikit-build-core
start=$SECONDS
"$venv/bin/python" -m pip install -q --no-build-isolation --force-reinstall --no-deps "$root" \
    -C build-dir="$build" \
    -C cmake.build-type=RelWithDebInfo \
    -C cmake.define.VELK_WERROR="${VELK_WERROR:-ON}" \
    -C cmake.define.CMAKE_CXX_FLAGS="$cxx_flags"
echo "built in $((SECONDS - start))s"

runtime=$("$venv/bin/python" -c 'import atheris, os; print(os.path.join(atheris.path(), "asan_with_fuzzer.so"))')
[ -f "$runtime" ] || { echo "atheris ships no sanitizer runtime at $runtime" >&2; exit 1; }

echo "== fuzzing for ${seconds}s"
mkdir -p "$corpus"
# The expected output left out of the log: the language failures the calls
# provoke on purpose (their texts from tests/failure_messages.py).
quiet=$build/quiet-lines
"$venv/bin/python" "$root/tests/failure_messages.py" > "$quiet"
start=$SECONDS
status=0
(
    cd "$build"  # crash-* and slow-unit-* files land here
    export LD_PRELOAD=$runtime
    # Leaks: CPython keeps memory until exit by design. A failed allocation
    # must come back as NULL (MemoryError), not stop the process.
    export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:allocator_may_return_null=1
    export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
    "$venv/bin/python" "$root/fuzz/python_fuzz.py" -max_total_time="$seconds" -print_final_stats=1 \
        -rss_limit_mb=4096 -timeout=60 "$@" "$corpus" 2>&1 | grep -E -v -e '^zarn: thread' -f "$quiet"
) || status=$?
echo "fuzzing ended after $((SECONDS - start))s with status $status; corpus: $(ls "$corpus" | wc -l) inputs"
exit "$status"
