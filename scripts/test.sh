#!/usr/bin/env bash
# Installs what is missing, builds Korvella and runs every test.
#   scripts/test.sh                 normal build in build/
#   BUILD_DIR=d CMAKE_ARGS="..." scripts/test.sh   another tree, e.g. sanitizers
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build_dir=${BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$build_dir" -G Ninja ${CMAKE_ARGS:-}
cmake --build "$build_dir" --parallel "$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure --parallel "$(nproc)" --timeout 300 ${CTEST_ARGS:-}
