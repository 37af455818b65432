#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each over a working copy
# of its seeds kept in the build directory, so inputs found by earlier runs
# are reused and the seeds in the repository stay untouched: the core's
# (core_fuzz, fuzz/corpus) for SECONDS (default 60), then the tree reader's
# (tree_codec_fuzz, fuzz/tree_corpus) for half as long. Prints each one's
# execution rate and total; exits non-zero when a fuzzer reports a crash (the
# reproducer is written to build/fuzz/artifacts/).
#
#   bash scripts/fuzz.sh 60
#   build/fuzz/fuzz/core_fuzz build/fuzz/artifacts/crash-...   # replay
#   VELK_FUZZ_TRACE=1 build/fuzz/fuzz/core_fuzz FILE            # what it runs
set -euo pipefail
seconds=${1:-60}
[[ $seconds =~ ^[0-9]+$ ]] || { echo "usage: $0 [SECONDS]" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELK_BUILD_FUZZ=ON -DVELK_BUILD_TESTS=OFF -DZARN_BUILD_MODULE=OFF -DVELK_WERROR=OFF -DVELK_LTO=OFF >/dev/null
cmake --build "$build" -j2 --target core_fuzz tree_codec_fuzz
mkdir -p "$build/artifacts"

# fuzz_target NAME SEEDS SECONDS
fuzz_target() {
    local name=$1 seeds=$2 seconds=$3 status
    local work=$build/$name-corpus log=$build/$name.log
    mkdir -p "$work"
    cp -n "$seeds"/* "$work"/
    echo "fuzz: running $name for ${seconds}s (log: $log)"
    set +e
    # -timeout: one input taking this long is a finding too (a hang).
    # -rss_limit_mb: ASan's quarantine and allocator caches make the resident
    # size creep up over long runs (about 1.3 GB after ten minutes), past
    # libFuzzer's default limit of 2 GB in longer ones.
    "$build/fuzz/$name" "$work" -max_total_time="$seconds" -timeout=20 -max_len=4096 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/" >"$log" 2>&1
    status=$?
    set -e
    grep -E "^#[0-9]+[[:space:]]+(INITED|DONE)|ERROR|$name:|SUMMARY|Test unit written|peak_rss" "$log" || true
    local execs rate
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "fuzz: $name ${seconds}s, ${execs:-?} executions, ${rate:-?} execs/s, corpus $(ls "$work" | wc -l) inputs"
    if [ "$status" -ne 0 ]; then
        echo "fuzz: $name stopped with status $status; reproducer in $build/artifacts/" >&2
        exit "$status"
    fi
}

fuzz_target core_fuzz "$root/fuzz/corpus" "$seconds"
fuzz_target tree_codec_fuzz "$root/fuzz/tree_corpus" "$(( (seconds + 1) / 2 ))"
