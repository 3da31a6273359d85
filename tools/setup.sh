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


install_debian_packages
python="$(bash tools/find-python.sh 3.13)"
if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))'; then
    rm -rf .venv
    "$python" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q ".${extras:+[$extras]}"
