# Sourced by scripts/test.sh, scripts/example.sh, scripts/hardening.sh and
# .ci/run: the Debian packages each command needs, and the function that
# installs the missing ones (Debian 12, as root).
#
#   build:     compiler and build tool for the core and the module
#   tests:     GoogleTest for the C++ suites, the Unicode data files that the
#              escaping tests compare against
#   cross:     GoogleTest's source (built per target), qemu-user and arm64's
#              libc for aarch64, wine64 for Windows, xz for the CPython
#              source that the Windows module's headers come from, file
#              for the report of what was linked (scripts/cross.sh)
#   wheels:    the aarch64 cross g++ and its libstdc++, patchelf
#              (scripts/wheels.sh)
#   hardening: the tests' packages, clang and its sanitizer runtimes
#              (scripts/hardening.sh)
ZARN_BUILD_PACKAGES=(g++ make cmake)
ZARN_TEST_PACKAGES=("${ZARN_BUILD_PACKAGES[@]}" libgtest-dev unicode-data patchelf)
ZARN_CROSS_PACKAGES=("${ZARN_BUILD_PACKAGES[@]}" libgtest-dev qemu-user libc6-arm64-cross wine64 xz-utils file)
ZARN_WHEEL_PACKAGES=("${ZARN_BUILD_PACKAGES[@]}" g++-aarch64-linux-gnu patchelf)
ZARN_HARDENING_PACKAGES=("${ZARN_TEST_PACKAGES[@]}" clang libclang-rt-14-dev)

# ensure_debian_packages PACKAGE...: installs those of PACKAGE... that are
# not installed yet, saying so in one line; silent when nothing is missing.
# A cmake on PATH (for instance the one pip installs) stands in for the
# Debian package.
ensure_debian_packages() {
    local missing=() p
    for p in "$@"; do
        [ "$p" = cmake ] && command -v cmake > /dev/null && continue
        dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2> /dev/null | grep -q '^ii' && continue
        [[ " ${missing[*]} " == *" $p "* ]] || missing+=("$p")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    echo "installing missing Debian packages: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "not root: install them with 'sudo apt-get install -y ${missing[*]}' and run again" >&2
        return 1
    fi
    local log
    log=$(mktemp)
    # A fresh machine may have no package lists yet: update once on failure.
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" > "$log" 2>&1; then
        if ! { apt-get update -q && DEBIAN_FRONTEND=noninteractive \
                apt-get install -y -q --no-install-recommends "${missing[@]}"; } > "$log" 2>&1; then
            cat "$log" >&2
            echo "could not install: ${missing[*]}" >&2
            rm -f "$log"
            return 1
        fi
    fi
    rm -f "$log"
}
