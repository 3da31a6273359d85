#!/usr/bin/env bash
# CI part of the reliability work: the fast pytest group (tests/reliability)
# and a bounded run of every fuzzer. Installs what it needs: clang 14 with its
# sanitizer and fuzzer runtimes, and the package with its test extras in .venv.
#   QUENLITH_FUZZ_SECONDS  seconds per fuzz target (default 25)
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds="${QUENLITH_FUZZ_SECONDS:-25}"

missing=()
for pkg in clang-14 libclang-rt-14-dev; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]})); then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing Debian packages: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

bash tools/setup.sh test

started=$SECONDS
# tools/test.sh runs this group with the rest of the suite; CI sets
# QUENLITH_SKIP_RELIABILITY_TESTS=1 so that it does not run twice.
if [ "${QUENLITH_SKIP_RELIABILITY_TESTS:-0}" != "1" ]; then
    echo "== reliability tests"
    .venv/bin/python -m pytest -q -p no:cacheprovider tests/reliability
fi
echo "== fuzzers, ${fuzz_seconds} s each"
bash tools/reliability/fuzz.sh "$fuzz_seconds"
echo "reliability CI part: $((SECONDS - started)) s (after setup)"
