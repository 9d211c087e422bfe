#!/usr/bin/env bash
# Installs what is missing, builds everything in build/ and runs every test.
# Extra arguments go to CMake's configure step (e.g. -DSANITIZE=address,undefined).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja "$@" >/dev/null
cmake --build "$BUILD_DIR"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)" --timeout 600
