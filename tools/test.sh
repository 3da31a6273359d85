#!/usr/bin/env bash
# Installs quenlith with its test tools, then runs the C++ unit tests and the
# Python test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh test

echo "== C++ unit tests"
.venv/bin/cmake -S . -B build/cpp-tests -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DQUENLITH_BUILD_PYTHON=OFF -DQUENLITH_BUILD_TESTS=ON >/dev/null
.venv/bin/cmake --build build/cpp-tests
.venv/bin/ctest --test-dir build/cpp-tests --output-on-failure

echo "== Python tests"
.venv/bin/pytest tests "$@"
