#!/usr/bin/env bash
# Installs what is missing, builds everything in build/ and runs every test.
# Extra arguments go to CMake's configure step (e.g. -DSANITIZE=address,undefined).
# BUILD_DIR picks another tree; TEST_PROGRAMS (an extended regular expression over test program
# names, e.g. '^reactive_') builds and runs only the matching test programs, less those matching
# TEST_PROGRAMS_EXCLUDE.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja "$@" >/dev/null
if [ -n "${TEST_PROGRAMS:-}" ]; then
  mapfile -t programs < <(ninja -C "$BUILD_DIR" -t targets all | sed -n 's/^\([A-Za-z0-9_]*\): phony$/\1/p' |
                            grep -E "$TEST_PROGRAMS" | grep -vE "${TEST_PROGRAMS_EXCLUDE:-^$}" | sort -u)
  if ((${#programs[@]} == 0)); then
    echo "No test program matches $TEST_PROGRAMS" >&2
    exit 1
  fi
  echo "Test programs: ${programs[*]}"
  cmake --build "$BUILD_DIR" --target "${programs[@]}"
  # Each test is labelled with its program's name.
  label=$(IFS='|'; echo "^(${programs[*]})\$")
  ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)" --timeout 600 -L "$label"
else
  cmake --build "$BUILD_DIR"
  ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)" --timeout 600
fi
