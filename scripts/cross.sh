#!/usr/bin/env bash
# The core on the systems this machine is not: each target cross-compiled
# with zig's clang (PyPI's `ziglang`, into a venv of the build folder), its
# C++ suites built against GoogleTest from Debian's source package, and run
# where this machine can run them:
#
#   aarch64-linux-gnu   tests under qemu-aarch64 (Debian's arm64 libc)
#   x86_64-linux-musl   tests as a static binary, natively
#   x86_64-windows-gnu  tests under wine64; the module compiled and linked
#   aarch64-macos.11.0  core, embedding example and module compiled and
#   x86_64-macos.11.0   linked (no macOS to run them on here); not the tests:
#                       zig's macOS C headers lack FLT_MAX and INFINITY,
#                       which GoogleTest and libc++'s <random> need
# 11.0 is the macOS wheels' deployment target, the first whose libc++ has
# std::atomic's wait.
#
# The module is compiled and linked for macOS too (a bundle that takes the
# interpreter's symbols when loaded), against this machine's CPython
# headers: no macOS headers are to be had from PyPI or Debian, so this
# checks the module's own code, not a macOS pyconfig.h. The Windows module
# is checked against a Windows CPython's own headers (Include/ and the
# Windows pyconfig.h from Debian's source package of CPython, fetched once
# by scripts/windows-python.sh) and linked into zarn.cp3XX-win_amd64.pyd
# with an import library of python3XX.dll made here from what the module
# imports; it is not loaded (no Windows CPython here). Nothing is defined
# for it beyond what zig's clang defines for a MinGW target: the headers'
# MinGW section takes MS_WIN64 from _WIN64. Last, every module source is
# compiled by this machine's g++ with Py_GIL_DISABLED defined against
# CPython 3.14's headers: the free-threaded build's code.
#
#   bash scripts/cross.sh [TARGET...]        (default: all of the above)
#
# Prints each target's time and ctest's summary.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/deps.sh"
source "$root/scripts/find-python.sh"
source "$root/scripts/versions.sh"
ensure_debian_packages "${ZARN_CROSS_PACKAGES[@]}"
work=$root/build/cross
mkdir -p "$work"

[ $# -gt 0 ] || set -- aarch64-linux-gnu x86_64-linux-musl x86_64-windows-gnu aarch64-macos.11.0 x86_64-macos.11.0

# zig from PyPI, in a venv of its own.
zig_venv=$work/venv-zig
if [ ! -x "$zig_venv/bin/python" ]; then
    "$(python_for "${ZARN_PYTHONS[0]}")" -m venv "$zig_venv"
fi
"$zig_venv/bin/python" -m pip install -q ziglang > "$work/zig-install.log" 2>&1 ||
    { cat "$work/zig-install.log" >&2; exit 1; }

# Debian's wine64 package keeps its loader out of PATH. Its prefix (the
# Windows folders it makes on first use) is made before the tests so that
# its start-up is not counted against their time, in a folder of its own
# outside the source tree and removed at the end: its drive z: is a link to
# /, which any walk of the tree that follows links (the sdist's) would take.
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
WINEPREFIX=$(mktemp -d)
trap 'rm -rf "$WINEPREFIX"' EXIT
export WINEPREFIX WINEDEBUG=-all

# toolchain TARGET DIR: wrappers for zig's compiler and archiver and a CMake
# toolchain file naming them, the system and the emulator.
toolchain() {
    local target=$1 dir=$2 system processor emulator=""
    mkdir -p "$dir/bin"
    case $target in
        *-linux-*) system=Linux ;;
        *-macos*) system=Darwin ;;
        *-windows-*) system=Windows ;;
    esac
    processor=${target%%-*}
    case $target in
        aarch64-linux-*) emulator="qemu-aarch64;-L;/usr/aarch64-linux-gnu" ;;
        *-windows-*) emulator=$wine ;;
    esac
    local tool
    for tool in cc c++ ar ranlib; do
        local extra=""
        case $tool in cc | c++) extra="-target $target" ;; esac
        printf '#!/bin/sh\nexec "%s" -m ziglang %s %s "$@"\n' "$zig_venv/bin/python" "$tool" "$extra" > "$dir/bin/zig-$tool"
        chmod +x "$dir/bin/zig-$tool"
    done
    # Nothing runs a macOS program here: tests would be listed when ctest
    # runs, not after each link.
    local flags="" discovery=POST_BUILD
    [ "$system" != Darwin ] || discovery=PRE_TEST
    cat > "$dir/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME $system)
set(CMAKE_CXX_FLAGS_INIT "$flags")
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE $discovery)
set(CMAKE_SYSTEM_PROCESSOR $processor)
set(CMAKE_C_COMPILER $dir/bin/zig-cc)
set(CMAKE_CXX_COMPILER $dir/bin/zig-c++)
set(CMAKE_AR $dir/bin/zig-ar)
set(CMAKE_RANLIB $dir/bin/zig-ranlib)
set(CMAKE_CROSSCOMPILING_EMULATOR "$emulator")
set(CMAKE_FIND_ROOT_PATH $dir/gtest)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
}

# quiet LOG COMMAND...: runs COMMAND, its output shown only on failure.
quiet() {
    local log=$1
    shift
    "$@" > "$log" 2>&1 || { tail -n 60 "$log" >&2; return 1; }
}

python_include=$("$(python_for "${ZARN_PYTHONS[0]}")" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
module_sources=("$root"/bindings/*.cpp)

# compile_module DIR INCLUDE COMPILER: compiles every module source into
# DIR/module, naming the objects in the array `objects`.
compile_module() {
    local dir=$1 include=$2 compiler=$3 src
    objects=()
    mkdir -p "$dir/module"
    for src in "${module_sources[@]}"; do
        local object=$dir/module/$(basename "${src%.cpp}").o
        quiet "$dir/module.log" "$compiler" -std=c++20 -O1 -fPIC -fvisibility=hidden -fsized-deallocation \
            -Wall -Wextra -Werror ${module_defines:-} -I"$root/velk/include" -I"$root/velk/src" -I"$include" -c "$src" -o "$object"
        objects+=("$object")
    done
}

# link_module DIR COMPILER NAME [LINK FLAGS...]: links the objects with the
# target's core into DIR/module/NAME.
link_module() {
    local dir=$1 compiler=$2 name=$3
    shift 3
    quiet "$dir/module.log" "$compiler" -o "$dir/module/$name" "${objects[@]}" "$dir/core/velk/libvelk.a" "$@"
    echo "module: $name, $(file -b "$dir/module/$name" | cut -d, -f1-2)"
}

# module DIR INCLUDE COMPILER [LINK FLAGS...]: compiles the module, and
# links it into DIR/module/zarn.so when link flags are given.
module() {
    local dir=$1 include=$2 compiler=$3
    shift 3
    compile_module "$dir" "$include" "$compiler"
    if [ $# -gt 0 ]; then
        link_module "$dir" "$compiler" zarn.so "$@"
    else
        echo "module: ${#objects[@]} sources compiled"
    fi
}

# windows_module DIR: the module for Windows, against CPython's Windows
# headers (scripts/windows-python.sh), linked with an import library of
# python3XX.dll made here by zig's dlltool. The library's .def lists what
# the compiled objects import from CPython (their undefined __imp_Py* and
# __imp__Py* symbols: every API name starts so), those that the headers
# declare with PyAPI_DATA marked DATA: the objects read data through its
# import slot, and data must get no call thunk. Then the DLL is checked to
# export the entry point alone.
windows_module() {
    local dir=$1 include version dll pyd exports start=$SECONDS
    include=$(bash "$root/scripts/windows-python.sh")
    compile_module "$dir" "$include" "$dir/bin/zig-c++"
    version=$(awk '$1 == "#define" && ($2 == "PY_MAJOR_VERSION" || $2 == "PY_MINOR_VERSION") { printf "%s", $3 }' \
        "$include/patchlevel.h")
    dll=python$version
    pyd=zarn.cp$version-win_amd64.pyd
    grep -rhoE 'PyAPI_DATA\([^;]*;' "$include" | sed -E 's/\[[^]]*\]//g; s/[[:space:]]*;$//' |
        grep -oE '[A-Za-z_][A-Za-z0-9_]*$' | sort -u > "$dir/module/$dll.data"
    [ -s "$dir/module/$dll.data" ] || { echo "no PyAPI_DATA declarations found in $include" >&2; return 1; }
    {
        echo "LIBRARY $dll.dll"
        echo "EXPORTS"
        nm -u "${objects[@]}" | awk '$NF ~ /^__imp__?Py/ { print substr($NF, 7) }' | sort -u |
            awk 'NR == FNR { data[$1] = 1; next } { print $1 ($1 in data ? " DATA" : "") }' "$dir/module/$dll.data" -
    } > "$dir/module/$dll.def"
    quiet "$dir/module.log" "$zig_venv/bin/python" -m ziglang dlltool -m i386:x86-64 \
        -d "$dir/module/$dll.def" -l "$dir/module/lib$dll.a"
    # bcrypt: the core's own system library on Windows (velk/CMakeLists.txt).
    link_module "$dir" "$dir/bin/zig-c++" "$pyd" -shared "$dir/module/lib$dll.a" -lbcrypt
    exports=$(objdump -p "$dir/module/$pyd" |
        sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^[[:space:]]*\[ *[0-9]+\]/ { print $NF }' | paste -sd ' ')
    [ "$exports" = PyInit_zarn ] || { echo "the module exports '$exports', not PyInit_zarn alone" >&2; return 1; }
    echo "module: exports PyInit_zarn alone, imports $(grep -c '^_\?Py' "$dir/module/$dll.def") names of $dll.dll" \
        "($(awk '$2 == "PY_VERSION" { print $3 }' "$include/patchlevel.h") headers; $((SECONDS - start))s)"
    echo "module: needs $(objdump -p "$dir/module/$pyd" | awk '/DLL Name:/ { print $3 }' |
        sed 's/^api-ms-win-crt-.*/api-ms-win-crt-*/' | sort -u | paste -sd ' ')"
}

# Checked builds (assertions on), and -O1 without debug information: each
# target's suites compile in a few minutes on two cores.
cxx_flags="-O1"

for target in "$@"; do
    start=$SECONDS
    dir=$work/$target
    echo "== $target"
    toolchain "$target" "$dir"
    case $target in *-windows-*) "$wine" wineboot --init > "$work/wine-prefix.log" 2>&1 || true ;; esac
    # GoogleTest for the target, from the source that libgtest-dev ships.
    if [ ! -f "$dir/gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
        quiet "$dir/gtest.log" cmake -S /usr/src/googletest -B "$dir/gtest-build" \
            -DCMAKE_TOOLCHAIN_FILE="$dir/toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
            -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON -Dgtest_disable_pthreads=OFF \
            -DCMAKE_INSTALL_PREFIX="$dir/gtest"
        quiet "$dir/gtest.log" cmake --build "$dir/gtest-build" -j2 --target install
    fi
    quiet "$dir/cmake.log" cmake -S "$root" -B "$dir/core" -DCMAKE_TOOLCHAIN_FILE="$dir/toolchain.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="$cxx_flags" -DVELK_WERROR=ON -DVELK_LTO=OFF \
        -DZARN_BUILD_MODULE=OFF \
        -DGTest_DIR="$dir/gtest/lib/cmake/GTest"
    targets=()
    case $target in *-macos*) targets=(--target velk embed) ;; esac
    quiet "$dir/build.log" cmake --build "$dir/core" -j2 "${targets[@]}"
    case $target in
        *-macos*)
            echo "built (not run: no macOS here): libvelk.a, embed"
            file "$dir/core/examples/embed" | sed "s|$dir/core/||"
            module "$dir" "$python_include" "$dir/bin/zig-c++" -shared -undefined dynamic_lookup
            ;;
        *)
            ctest --test-dir "$dir/core" -j2 --output-on-failure > "$dir/ctest.log" 2>&1 ||
                { tail -n 80 "$dir/ctest.log" >&2; exit 1; }
            grep -E 'tests passed|tests failed' "$dir/ctest.log"
            case $target in *-windows-*) windows_module "$dir" ;; esac
            ;;
    esac
    echo "$target: $((SECONDS - start))s"
done

echo "== the module with Py_GIL_DISABLED (CPython 3.14's headers, this machine's g++)"
start=$SECONDS
include_314=$(dirname "$(dirname "$(bash "$root/scripts/debian-python.sh" 3.14)")")/include/python3.14
module_defines=-DPy_GIL_DISABLED module "$work/free-threaded" "$include_314" g++
echo "free-threaded: $((SECONDS - start))s"
