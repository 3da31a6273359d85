#!/usr/bin/env bash
# The long runs, one command each:
#   tools/reliability/run.sh crash|contention|threads|disk|memory|hostile|arguments|model|leaks|fuzz|all
# Each test group runs with its loop counts multiplied (QUENLITH_RELIABILITY_SCALE,
# default 20), prints its figures and writes them to build/reliability/<name>.json.
# The leak check runs 20000 rounds; the fuzzers 30 minutes each (QUENLITH_FUZZ_SECONDS),
# keeping their grown corpora in build/fuzz/corpus/.
# Uses the environment in .venv (tools/setup.sh test), or the one QUENLITH_VENV names.
set -euo pipefail
cd "$(dirname "$0")/../.."

venv="${QUENLITH_VENV:-.venv}"
[ -x "$venv/bin/python" ] || bash tools/setup.sh test
scale="${QUENLITH_RELIABILITY_SCALE:-20}"
mkdir -p build/reliability

declare -A TEST_FILES=(
    [crash]=test_crash.py
    [contention]=test_contention.py
    [threads]=test_threads.py
    [disk]=test_disk_full_and_read_only.py
    [memory]=test_out_of_memory.py
    [hostile]=test_hostile_files.py
    [arguments]=test_bad_arguments.py
    [model]=test_model.py
)

run_group() {
    local name="$1"
    echo "== $name (scale $scale)"
    QUENLITH_RELIABILITY_SCALE="$scale" QUENLITH_RELIABILITY_FIGURES="build/reliability/$name.json" \
        "$venv/bin/python" -m pytest -q -rxX -p no:cacheprovider "tests/reliability/${TEST_FILES[$name]}"
}

run() {
    case "$1" in
        leaks)
            echo "== leaks"
            "$venv/bin/python" -P tools/reliability/leak_check.py --rounds "${QUENLITH_LEAK_ROUNDS:-20000}" \
                | tee build/reliability/leaks.txt ;;
        fuzz)
            echo "== fuzz"
            QUENLITH_FUZZ_KEEP=1 bash tools/reliability/fuzz.sh "${QUENLITH_FUZZ_SECONDS:-1800}" \
                | tee build/reliability/fuzz.txt ;;
        *)
            [ -n "${TEST_FILES[$1]:-}" ] || { echo "unknown run: $1" >&2; exit 2; }
            run_group "$1" ;;
    esac
}

what="${1:-}"
if [ -z "$what" ]; then
    sed -n '2,8p' "$0"
    exit 2
fi
if [ "$what" = all ]; then
    for name in crash contention threads disk memory hostile arguments model leaks fuzz; do run "$name"; done
else
    run "$what"
fi
