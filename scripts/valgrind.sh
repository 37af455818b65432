#!/usr/bin/env bash
# Builds the core's C++ tests (RelWithDebInfo, no sanitizer, in
# build/valgrind) and runs each test binary (velk_tests and every
# *_isolated_test) under valgrind memcheck. Any memory error or definite or
# indirect leak fails the run. Prints valgrind's summary lines and the wall
# time per binary.
#
# The million-level depth tests take long under valgrind; to leave them out:
#   VELK_VALGRIND_FILTER='-*Depth*' bash scripts/valgrind.sh
# (any gtest filter works; it is passed as --gtest_filter to every binary).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/valgrind
filter=${VELK_VALGRIND_FILTER:-}

# The build as shipped, block caches included: use-after-free inside those
# caches is the sanitizer build's job (it turns them off).
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELK_SANITIZE= -DCMAKE_CXX_FLAGS= \
    -DZARN_BUILD_MODULE=OFF -DVELK_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j2

mapfile -t binaries < <(find "$build/velk" -maxdepth 1 -type f -executable \
    \( -name velk_tests -o -name '*_isolated_test' \) | sort)
if [ "${#binaries[@]}" -eq 0 ]; then
    echo "valgrind: no test binaries in $build/velk" >&2
    exit 1
fi

# Seconds since a `date +%s%N` stamp, to a tenth.
elapsed() { awk -v a="$1" -v b="$(date +%s%N)" 'BEGIN { printf "%.1f", (b - a) / 1e9 }'; }

status=0
total_start=$(date +%s%N)
for bin in "${binaries[@]}"; do
    name=$(basename "$bin")
    log=$build/valgrind-$name.log
    out=$build/valgrind-$name.out
    args=()
    [ -n "$filter" ] && args+=("--gtest_filter=$filter")
    echo "== $name ${filter:+(filter $filter)}"
    start=$(date +%s%N)
    result=passed
    # nouserintercepts: the *_isolated_test binaries define their own
    # operator new/delete (to count or fail allocations); valgrind must not
    # replace those, only the malloc/free they call.
    valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect \
        --soname-synonyms=somalloc=nouserintercepts \
        --error-exitcode=1 --log-file="$log" "$bin" "${args[@]}" >"$out" 2>&1 || { result=FAILED; status=1; }
    seconds=$(elapsed "$start")
    sed -n 's/^==[0-9]*== //p' "$log" | grep -E "in use at exit|total heap usage|All heap blocks|definitely lost|indirectly lost|possibly lost|still reachable|ERROR SUMMARY" || true
    grep -E "^\[  (PASSED|FAILED) +\]" "$out" || true
    echo "$name: $result in ${seconds}s (valgrind log: $log, test output: $out)"
done
echo "valgrind: all binaries in $(elapsed "$total_start")s${filter:+ with filter $filter}"
exit "$status"
