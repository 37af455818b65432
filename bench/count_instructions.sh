#!/usr/bin/env bash
# Instructions per statement inside Velk.run, counted by callgrind: steady
# state, independent of the host's load. For each program, two processes run
# profile_run.py (20 and 10 runs of a COUNT-statement program) with
# collection on only inside the module's `run` entry point; the difference,
# divided by 10 * COUNT, leaves out the warm-up run and everything else.
#
#   bench/count_instructions.sh [PYTHON] [COUNT] [limited]
#
# With `limited` the machine runs with all three limits set (none reached).
#
# PYTHON must import the zarn to measure (default: python3.12 on PATH, or
# set PYTHONPATH to a build's bindings directory).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
python=${1:-python3.12}
count=${2:-1000}
limited=${3:-}

instructions() {  # program runs
    valgrind --tool=callgrind --callgrind-out-file=/dev/null \
        "--toggle-collect=zarn::(anonymous namespace)::run(*" \
        "$python" "$here/profile_run.py" "$2" "$1" "$count" $limited 2>&1 >/dev/null |
        awk '/refs:/ {gsub(",", "", $NF); print $NF}'
}

for program in increment mixed branch; do
    more=$(instructions "$program" 20)
    fewer=$(instructions "$program" 10)
    echo "$program: $(( (more - fewer) / (10 * count) )) instructions per statement"
done
