#!/usr/bin/env bash
# Runs the C++ unit tests and the Python test suite against a build with
# AddressSanitizer and UndefinedBehaviorSanitizer. The extension goes into
# its own virtual environment (.venv-asan) so the normal one stays fast.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh test
if [ ! -x .venv-asan/bin/python ]; then
    "$(.venv/bin/python -c 'import sys; print(sys._base_executable)')" -m venv .venv-asan
fi
.venv-asan/bin/python -m pip install -q --upgrade pip
.venv-asan/bin/python -m pip install -q pytest hypothesis
.venv-asan/bin/python -m pip install -q \
    -Ccmake.build-type=Debug -Ccmake.define.QUENLITH_SANITIZE=ON -Cbuild-dir=build/asan-ext .

echo "== C++ unit tests (sanitizers)"
.venv/bin/cmake -S . -B build/asan-tests -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUENLITH_SANITIZE=ON \
    -DQUENLITH_BUILD_PYTHON=OFF -DQUENLITH_BUILD_TESTS=ON >/dev/null
.venv/bin/cmake --build build/asan-tests
.venv/bin/ctest --test-dir build/asan-tests --output-on-failure

echo "== Python tests (sanitizers)"
# The interpreter itself is not instrumented, so the runtime must be loaded
# first (libstdc++ too, or its exception interceptor finds nothing to wrap);
# CPython's own allocations at exit are not leaks worth reporting.
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    .venv-asan/bin/python -m pytest -q -p no:cacheprovider tests "$@"
