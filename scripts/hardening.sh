#!/usr/bin/env bash
# The second CI stage: the guarantees under hostile use.
#   1. the core's C++ tests under AddressSanitizer+UBSan, and its
#      concurrency tests under ThreadSanitizer (scripts/sanitize.sh);
#   2. the core's libFuzzer target for a fixed time (scripts/fuzz.sh);
#   3. the whole Python suite against an ASan+UBSan build of the module
#      with the allocation-failure hook, then a minute of the
#      hostile-callback harness (scripts/sanitize-python.sh).
# Every part runs; the exit status is non-zero when any failed.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/deps.sh"
ensure_debian_packages "${ZARN_HARDENING_PACKAGES[@]}" || exit 1
fuzz_seconds=${FUZZ_SECONDS:-60}
status=0
stage() {  # name, command...
    local name=$1 start=$SECONDS
    shift
    echo "== stage: $name"
    if "$@"; then
        echo "== stage $name: passed in $((SECONDS - start))s"
    else
        echo "== stage $name: FAILED after $((SECONDS - start))s" >&2
        status=1
    fi
}
stage sanitizers bash "$root/scripts/sanitize.sh"
stage fuzz bash "$root/scripts/fuzz.sh" "$fuzz_seconds"
stage python-asan bash "$root/scripts/sanitize-python.sh"
exit $status
