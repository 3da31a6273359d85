#!/usr/bin/env bash
# Prints the path of a CPython X.Y interpreter (default 3.13): $QUENLITH_PYTHON
# for 3.13 when set, else pythonX.Y on PATH, else a pyenv-installed X.Y.
#   usage: tools/find-python.sh [X.Y]
set -euo pipefail
version="${1:-3.13}"
if [ "$version" = "3.13" ] && [ -n "${QUENLITH_PYTHON:-}" ]; then echo "$QUENLITH_PYTHON"; exit 0; fi
if "python$version" -c "" >/dev/null 2>&1; then command -v "python$version"; exit 0; fi
root="${PYENV_ROOT:-$HOME/.pyenv}"
for candidate in "$root"/versions/"$version".*/bin/"python$version"; do
    [ -x "$candidate" ] && { echo "$candidate"; exit 0; }
done
echo "CPython $version not found: install it (e.g. 'pyenv install $version') or set QUENLITH_PYTHON" >&2
exit 1
