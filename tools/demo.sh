#!/usr/bin/env bash
# Installs quenlith and runs a short agent session on a database file in the
# current directory.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
bash "$repo/tools/setup.sh"
"$repo/.venv/bin/python" -m quenlith demo
