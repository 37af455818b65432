#!/usr/bin/env bash
# CPython's headers as a Windows build of it has them, for compiling the
# module for Windows on this machine (scripts/cross.sh):
#
#   bash scripts/windows-python.sh
#
# prints the folder that holds them. They come from Debian's source package
# of CPython (the newest of 3.14 and then 3.13 that the archive still
# serves), fetched with apt-get source --download-only through a private
# sources list, package lists and cache (scripts/debian-apt.sh), never
# through the system's apt state. Of the upstream tarball only Include/
# (less the interpreter's internal headers) and PC/pyconfig.h (the Windows
# configuration; pyconfig.h.in since 3.13, which a Windows build copies
# unchanged unless it is free-threaded) are unpacked, into
# build/windows-python/include. A second call reuses it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$root/build/windows-python
include=$dir/include
if [ -f "$dir/.complete" ]; then
    echo "$include"
    exit 0
fi
rm -rf "$dir"
mkdir -p "$dir/source" "$include"
source "$root/scripts/debian-apt.sh"
debian_apt "$dir/apt" deb-src
log=$dir/apt/apt.log

# The archive keeps some versions' index entries after their files are
# gone: each listed version is tried, newest first.
fetched=""
for package in python3.14 python3.13; do
    for version in $(apt-cache "${debian_apt_options[@]}" showsrc "$package" 2> /dev/null |
        awk '$1 == "Version:" { print $2 }' | sort -rV); do
        if (cd "$dir/source" && apt-get "${debian_apt_options[@]}" source --download-only \
            "$package=$version") >> "$log" 2>&1; then
            fetched=$package
            break 2
        fi
        rm -f "$dir"/source/*
    done
done
[ -n "$fetched" ] || { tail -n 20 "$log" >&2; echo "no source package of CPython could be fetched" >&2; exit 1; }

tar -xf "$dir"/source/"$fetched"_*.orig.tar.* -C "$include" --strip-components=2 --wildcards '*/Include/*' \
    --exclude='*/Include/internal/*'
tar -xf "$dir"/source/"$fetched"_*.orig.tar.* -C "$dir/source" --strip-components=1 --wildcards '*/PC/pyconfig.h*'
cp "$(ls "$dir"/source/PC/pyconfig.h* | head -n 1)" "$include/pyconfig.h"
# The tarball and the suite's package lists are no longer needed.
rm -rf "$dir"/source/*.tar.* "$dir"/source/*.dsc "$dir/apt/lists" "$dir/apt/cache"
touch "$dir/.complete"
echo "$include"
