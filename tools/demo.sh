#!/usr/bin/env bash
# Installs quenlith with its plotting extra and replays a short agent session
# into ./quenlith-demo.db in the current directory, leaving the report image
# ./quenlith-demo-report.png beside it.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
bash "$repo/tools/setup.sh" plot
"$repo/.venv/bin/quenlith" demo
