#!/usr/bin/env bash
# Prepares a Debian machine for quenlith and installs it into .venv:
# the system libraries it builds against, a CPython 3.13 virtual
# environment, and the package itself with the given extras.
#   usage: tools/setup.sh [extras]      e.g. tools/setup.sh test
set -euo pipefail
cd "$(dirname "$0")/.."

extras="${1:-}"

install_debian_packages() {
    local missing=()
    for pkg in g++ libsqlite3-dev nlohmann-json3-dev libgtest-dev; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    ((${#missing[@]} == 0)) && return
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing Debian packages: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# The target interpreter: python3.13 on PATH, else a pyenv-installed 3.13.
find_python() {
    if [ -n "${QUENLITH_PYTHON:-}" ]; then echo "$QUENLITH_PYTHON"; return; fi
    if python3.13 -c "" >/dev/null 2>&1; then command -v python3.13; return; fi
    local root="${PYENV_ROOT:-$HOME/.pyenv}"
    for candidate in "$root"/versions/3.13*/bin/python3.13; do
        [ -x "$candidate" ] && { echo "$candidate"; return; }
    done
    echo "CPython 3.13 not found: install it (e.g. 'pyenv install 3.13') or set QUENLITH_PYTHON" >&2
    exit 1
}

install_debian_packages
python="$(find_python)"
if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))'; then
    rm -rf .venv
    "$python" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q ".${extras:+[$extras]}"
