# Sourced by the other scripts: python_for VERSION prints the path of a
# CPython interpreter of that minor version (3.12, 3.13) installed by pyenv,
# or one on PATH; when there is none it says how to get one and fails.
python_for() {
    local v=$1 root=${PYENV_ROOT:-$HOME/.pyenv} p
    for p in "$root"/versions/"$v".*/bin/python"$v"; do
        [ -x "$p" ] && { echo "$p"; return 0; }
    done
    command -v "python$v" && return 0
    {
        echo "Python $v is needed and was not found (looked under $root/versions and for python$v on PATH)."
        echo "Install it with pyenv ('pyenv install $v'), or put a python$v with its venv module on PATH."
    } >&2
    return 1
}
