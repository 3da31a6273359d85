#!/usr/bin/env bash
# Builds the fuzzers (fuzz/build.sh) and runs each for a bounded time, as
# many at once as there are cores. A crash, a sanitizer report or a broken
# invariant fails the run and leaves the input under build/fuzz/artifacts/.
#   usage: tools/reliability/fuzz.sh [seconds-per-target] [target...]
#   QUENLITH_FUZZ_KEEP=1 keeps each target's grown corpus in build/fuzz/corpus/
#   between runs (long runs build on earlier ones); otherwise every run
#   starts from the committed seeds alone.
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds="${1:-25}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for file in fuzz/fuzz_*.cpp; do targets+=("$(basename "$file" .cpp)"); done
fi

bash fuzz/build.sh "${targets[@]}" >/dev/null

out=build/fuzz
mkdir -p "$out/logs" "$out/artifacts"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

run_one() {
    local target="$1" corpus
    if [ -n "${QUENLITH_FUZZ_KEEP:-}" ]; then corpus="$out/corpus/$target"; else corpus="$work/$target"; fi
    mkdir -p "$corpus"
    # The first directory receives new inputs; the committed seeds are only read.
    "$out/$target" "$corpus" "fuzz/corpus/$target" -dict="fuzz/dict/$target.dict" \
        -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=4096 \
        -artifact_prefix="$out/artifacts/$target-" >"$out/logs/$target.log" 2>&1
}
export -f run_one
export out work seconds

status=0
printf '%s\n' "${targets[@]}" | xargs -P "$(nproc)" -I{} bash -c 'run_one {}' || status=$?

total=0
for target in "${targets[@]}"; do
    log="$out/logs/$target.log"
    runs="$(sed -n 's/^stat::number_of_executed_units: //p' "$log" | tail -1)"
    total=$((total + ${runs:-0}))
    if grep -qE '^(==[0-9]+== ?ERROR|SUMMARY: )' "$log"; then
        echo "$target: FAILED after ${runs:-?} executions"
        grep -E 'ERROR|SUMMARY|Test unit written|^    #[0-9]+ .*(fuzz|runtime-)' "$log" | head -20
        status=1
    else
        echo "$target: ${runs:-0} executions in ${seconds} s, no fault"
    fi
done
echo "fuzz executions in total: $total"
exit "$status"
