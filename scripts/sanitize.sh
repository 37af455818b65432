#!/usr/bin/env bash
# Sanitizer runs of the core's C++ tests, both built with clang:
#   1. AddressSanitizer + UndefinedBehaviorSanitizer: every test (ctest),
#      stopping at the first error and reporting leaks.
#   2. ThreadSanitizer: the concurrency tests of velk_tests (names matching
#      *Concurrency*, *Stress*, *Thread* or *Lock*).
# Build directories: build/asan and build/tsan. Both parts always run; the
# exit status is non-zero when either found a failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
asan_build=$root/build/asan
tsan_build=$root/build/tsan
concurrency_filter='*Concurrency*:*Stress*:*Thread*:*Lock*'

configure() {  # build dir, sanitizer, build targets...
    local dir=$1 sanitizer=$2
    shift 2
    cmake -S "$root" -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVELK_SANITIZE="$sanitizer" -DVELK_WERROR=ON -DZARN_BUILD_MODULE=OFF -DVELK_BUILD_TESTS=ON >/dev/null
    cmake --build "$dir" -j2 "$@"
}

echo "== ASan+UBSan: build and run every core test ($asan_build)"
configure "$asan_build" address
start=$SECONDS
asan_status=0
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir "$asan_build" --output-on-failure -j2 || asan_status=$?
if [ "$asan_status" -eq 0 ]; then
    echo "ASan+UBSan: all tests passed in $((SECONDS - start))s"
else
    echo "ASan+UBSan: FAILED (ctest status $asan_status) after $((SECONDS - start))s" >&2
fi

echo "== TSan: build and run the concurrency tests ($tsan_build)"
# Only velk_tests: the *_isolated_test binaries replace operator new, which
# the ThreadSanitizer runtime defines as well.
configure "$tsan_build" thread --target velk_tests
tests=$("$tsan_build/velk/velk_tests" --gtest_list_tests --gtest_filter="$concurrency_filter" | grep -c '^  ' || true)
if [ "$tests" -eq 0 ]; then
    echo "TSan: no test matches $concurrency_filter" >&2
    exit 1
fi
echo "TSan: $tests tests match $concurrency_filter"
start=$SECONDS
tsan_status=0
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    "$tsan_build/velk/velk_tests" --gtest_filter="$concurrency_filter" || tsan_status=$?
if [ "$tsan_status" -eq 0 ]; then
    echo "TSan: concurrency tests passed in $((SECONDS - start))s"
else
    echo "TSan: FAILED (status $tsan_status) after $((SECONDS - start))s" >&2
fi
[ "$asan_status" -eq 0 ] && [ "$tsan_status" -eq 0 ]
