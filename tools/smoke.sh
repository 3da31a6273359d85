#!/usr/bin/env bash
# Builds and installs quenlith under the older CPython releases it supports,
# each in a throwaway virtual environment, and runs a short smoke test there:
# the Python interface end to end, the argument errors that take the
# version-dependent paths of the binding, and the command line. The full
# test suite runs under 3.13 (tools/test.sh). The build must be free of
# compiler warnings.
#   usage: tools/smoke.sh [VERSION...]      default: 3.10 3.11 3.12
# Needs the system libraries that tools/setup.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$(pwd)"

versions=("$@")
((${#versions[@]} > 0)) || versions=(3.10 3.11 3.12)


scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

smoke_test='
import sys

import quenlith
from quenlith import Runtime

rt = Runtime("smoke.db", "coding")
bug = rt.record("tests", "error", "test_cache fails after restart", "high")
rt.record("reviewer", "correction", "invalidate the cache on startup", overrides=bug)
rt.record("ci", "observation", "nightly build green", timestamp="2024-05-01T12:30:00+02:00")
memories = rt.query("cache")
assert [m["content"] for m in memories] == ["invalidate the cache on startup", "test_cache fails after restart"], memories
assert memories[1]["is_overridden"] and memories[1]["tier"] == "Cold", memories
assert rt.sweep() == {"total_processed": 2, "promoted": 1, "demoted": 0, "forgotten": 0}
assert rt.inspect() == {"total_events": 3, "hot": 2, "warm": 0, "cold": 0, "forgotten": 1}
assert [s["hot"] for s in rt.get_snapshots()] == [2]
assert len(rt.get_salience_distribution()) == 2

# Argument errors: the type name of a rejected value, and a TypeError
# renamed after its parameter with its cause kept.
for call, message in [
    (lambda: rt.record("s", 5, "c"), "argument '"'"'kind'"'"': '"'"'int'"'"' object cannot be converted to '"'"'PyString'"'"'"),
    (lambda: rt.query(limit=None), "argument '"'"'limit'"'"': "),
]:
    try:
        call()
    except TypeError as error:
        assert str(error).startswith(message), error
    else:
        raise AssertionError(message)
try:
    rt.query(limit=-1)
except OverflowError:
    pass
else:
    raise AssertionError("a negative limit was accepted")
print(f"quenlith {quenlith.__version__} on Python {sys.version.split()[0]}: the interface works")
'

for version in "${versions[@]}"; do
    echo "== CPython $version"
    python="$(bash tools/find-python.sh "$version")"
    env="$scratch/venv-$version"
    run="$scratch/run-$version"
    mkdir -p "$run"
    "$python" -m venv "$env"
    "$env/bin/python" -m pip install -q --upgrade pip
    # Verbose, so that the compiler's output can be checked for warnings.
    if ! "$env/bin/python" -m pip install -v "$repo" >"$scratch/build-$version.log" 2>&1; then
        tail -n 60 "$scratch/build-$version.log"
        echo "smoke: the build failed under CPython $version" >&2
        exit 1
    fi
    if grep -E ': warning: ' "$scratch/build-$version.log"; then
        echo "smoke: the build under CPython $version has compiler warnings" >&2
        exit 1
    fi
    (
        cd "$run"
        "$env/bin/python" -c "$smoke_test"
        "$env/bin/quenlith" --help >/dev/null
        "$env/bin/python" -m quenlith --db smoke.db inspect
        "$env/bin/quenlith" --db smoke.db --policy coding salience
        # Without the plot extra the report falls back to text, and says so.
        "$env/bin/quenlith" --db smoke.db report >/dev/null 2>report.err
        grep -q "quenlith\[plot\]" report.err
        printf '%s\n' '{"source": "ci", "kind": "decision", "content": "ship it"}' '{"kind": 1}' >events.jsonl
        if "$env/bin/quenlith" --db smoke.db import events.jsonl 2>import.err; then
            echo "smoke: import accepted a bad line" >&2
            exit 1
        fi
        grep -q "^events.jsonl:2: " import.err
    )
    echo "CPython $version: ok"
done
