# Sourced by scripts/debian-python.sh and scripts/windows-python.sh: apt
# pointed at Debian's unstable suite through a private sources list,
# package lists and cache, so that packages this machine's Debian does not
# have can be fetched into the build folder without touching the system's
# apt state (nothing is installed: dpkg's status is /dev/null).
#
#   debian_apt DIR TYPE [ARCH]    (TYPE: deb or deb-src; ARCH: amd64, arm64)
#
# sets up DIR, fills the array debian_apt_options with the options that
# every later apt-get and apt-cache call of the caller passes, and reads
# the suite's package lists. apt's output goes to DIR/apt.log, shown on
# failure.
debian_apt() {
    local dir=$1 type=$2 arch=${3:-amd64} mirror
    mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
    # The mirror this machine's own apt uses, with the unstable suite.
    mirror=$(cat /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2> /dev/null |
        awk '$1 == "URIs:" || $1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }' |
        grep -v security | head -n 1 || true)
    [ -n "$mirror" ] || { echo "no Debian mirror found in /etc/apt" >&2; return 1; }
    echo "$type [arch=$arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror unstable main" \
        > "$dir/sources.list"
    debian_apt_options=(
        -o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o Dir::State::Lists="$dir/lists" -o Dir::Cache="$dir/cache"
        -o Dir::State::Status=/dev/null -o APT::Architecture="$arch" -o APT::Architectures="$arch"
        -o Debug::NoLocking=1
    )
    apt-get "${debian_apt_options[@]}" update > "$dir/apt.log" 2>&1 || { cat "$dir/apt.log" >&2; return 1; }
}
