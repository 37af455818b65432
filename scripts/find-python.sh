# Sourced by the other scripts: python_for VERSION prints the path of a
# CPython interpreter of that minor version (3.12, 3.13, 3.14) installed by
# pyenv, or one on PATH, or else Debian's build of it fetched into the build
# folder (scripts/debian-python.sh: for a version this Debian does not
# package); when there is none it says how to get one and fails.
python_for() {
    local v=$1 root=${PYENV_ROOT:-$HOME/.pyenv} p here
    for p in "$root"/versions/"$v".*/bin/python"$v"; do
        [ -x "$p" ] && { echo "$p"; return 0; }
    done
    command -v "python$v" && return 0
    here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
    bash "$here/debian-python.sh" "$v" && return 0
    {
        echo "Python $v is needed and was not found (looked under $root/versions, for python$v on PATH and in Debian's unstable suite)."
        echo "Install it with pyenv ('pyenv install $v'), or put a python$v with its venv module on PATH."
    } >&2
    return 1
}
