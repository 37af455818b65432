#!/usr/bin/env bash
# A CPython that this machine's Debian does not package (3.14), from
# Debian's unstable suite, into the build folder, never into the system:
#
#   bash scripts/debian-python.sh VERSION [ARCH]     (ARCH: amd64 or arm64)
#
# prints the path of its interpreter. The packages (the interpreter, its
# headers, venv, and everything they depend on down to the C library) are
# fetched with apt-get download through a private sources list and private
# package lists and cache (scripts/debian-apt.sh), then unpacked with
# dpkg -x into build/debian-python/VERSION-ARCH. The interpreter's ELF
# interpreter and rpath are then set to that folder's own loader and
# libraries with patchelf, so it runs, and starts itself again in
# subprocesses, with the unstable C library it was built for. An arm64
# interpreter runs under qemu-aarch64 (not started here). A second call
# reuses the folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
version=$1
arch=${2:-amd64}
case $arch in
    amd64) triplet=x86_64-linux-gnu loader=ld-linux-x86-64.so.2 ;;
    arm64) triplet=aarch64-linux-gnu loader=ld-linux-aarch64.so.1 ;;
    *) echo "unknown architecture: $arch" >&2; exit 1 ;;
esac
dir=$root/build/debian-python/$version-$arch
python=$dir/usr/bin/python$version
if [ -x "$python" ] && [ -f "$dir/.complete" ]; then
    echo "$python"
    exit 0
fi
command -v patchelf > /dev/null || { echo "patchelf is needed (Debian's patchelf)" >&2; exit 1; }
rm -rf "$dir"
apt_dir=$dir.apt
mkdir -p "$apt_dir/debs" "$dir"
source "$root/scripts/debian-apt.sh"
debian_apt "$apt_dir" deb "$arch"
log=$apt_dir/apt.log

# Everything the interpreter, its headers and venv need, found by apt.
packages=$(apt-cache "${debian_apt_options[@]}" depends --recurse --no-recommends --no-suggests --no-conflicts \
    --no-breaks --no-replaces --no-enhances "python$version" "libpython$version-dev" "python$version-venv" |
    grep -E '^[a-z0-9]' | sort -u)
(cd "$apt_dir/debs" && apt-get "${debian_apt_options[@]}" download $packages) >> "$log" 2>&1 ||
    { tail -n 40 "$log" >&2; exit 1; }
for deb in "$apt_dir"/debs/*.deb; do dpkg -x "$deb" "$dir"; done

# The loader and libraries of the folder, for the interpreter and (through
# DT_RPATH, which unlike RUNPATH also serves dlopen) every extension module.
libs=$dir/usr/lib/$triplet
patchelf --set-interpreter "$libs/$loader" --force-rpath --set-rpath "$libs" "$python"
# The headers' pyconfig.h includes the multiarch one from the system's
# include folder; the folder's own copy takes its place.
cp "$dir/usr/include/$triplet/python$version/pyconfig.h" "$dir/usr/include/python$version/pyconfig.h"
# ensurepip (for venv) takes pip from the wheels folder compiled in, the
# system's /usr/share/python-wheels; the folder's own takes its place.
ensurepip=$dir/usr/lib/python$version/ensurepip/__init__.py
sed -i "s|^_pkg_dir = sysconfig.get_config_var('WHEEL_PKG_DIR')\$|_pkg_dir = '$dir/usr/share/python-wheels'|" "$ensurepip"
grep -q "^_pkg_dir = '$dir" "$ensurepip" || { echo "ensurepip's wheel folder not found in $ensurepip" >&2; exit 1; }
touch "$dir/.complete"
echo "$python"
