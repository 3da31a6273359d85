#!/usr/bin/env bash
# Builds the libFuzzer targets with clang 14, AddressSanitizer and
# UndefinedBehaviorSanitizer, straight from the sources (the CMake build is
# not involved). Output: build/fuzz/<target>.
#   usage: fuzz/build.sh [target...]     (default: every fuzz_*.cpp)
set -euo pipefail
cd "$(dirname "$0")/.."

CXX="${CXX:-clang++-14}"
out=build/fuzz
mkdir -p "$out/obj"

flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer
       -fsanitize=address,undefined -fno-sanitize-recover=undefined
       -Iruntime-types/src -Iruntime-core/src -Iruntime-sqlite/src)

# The product's own sources, less the unit tests; compiled once, with
# coverage for the fuzzer, and shared by every target.
sources=()
for file in runtime-types/src/*.cpp runtime-core/src/*.cpp runtime-sqlite/src/*.cpp; do
    [[ "$file" == *_test.cpp ]] || sources+=("$file")
done

compile() {  # source -> object, only when the source or a header changed
    local source="$1" object="$out/obj/$(echo "$1" | tr / _).o"
    if [ ! -f "$object" ] || [ -n "$(find runtime-*/src -newer "$object" -name '*.[ch]pp' -print -quit)" ]; then
        "$CXX" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$source" -o "$object"
    fi
    echo "$object"
}
objects=()
for source in "${sources[@]}"; do objects+=("$(compile "$source")"); done

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for file in fuzz/fuzz_*.cpp; do targets+=("$(basename "$file" .cpp)"); done
fi
for target in "${targets[@]}"; do
    "$CXX" "${flags[@]}" -fsanitize=fuzzer "fuzz/$target.cpp" "${objects[@]}" -lsqlite3 -o "$out/$target"
    echo "built $out/$target"
done
