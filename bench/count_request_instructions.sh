#!/usr/bin/env bash
# Instructions per request of each way of serving the shipping-fee request
# (bench/profile_request.py), counted by callgrind: two processes each, of
# MORE and FEWER rounds, whose difference leaves out start-up and warm-up.
# Steady state, independent of the host's load.
#
#   bench/count_request_instructions.sh [PYTHON] [MODE...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
python=${1:-python3.12}
shift || true
modes=("$@")
[ ${#modes[@]} -gt 0 ] || modes=(evaluate exec evaluate_many exec_rows five_step exec_two)

instructions() {  # mode rounds rows
    valgrind --tool=callgrind --callgrind-out-file=/dev/null \
        "$python" "$here/profile_request.py" "$1" "$2" "$3" 2>&1 >/dev/null |
        awk '/refs:/ {gsub(",", "", $NF); print $NF}'
}

for mode in "${modes[@]}"; do
    case $mode in
    evaluate_many | exec_rows) rows=1000 more=4 fewer=2 per=$((2 * 1000)) ;;
    *) rows=4 more=1000 fewer=500 per=$((500 * 4)) ;;
    esac
    a=$(instructions "$mode" "$more" "$rows")
    b=$(instructions "$mode" "$fewer" "$rows")
    echo "$mode: $(( (a - b) / per )) instructions per request"
done
