#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a fixed time over a
# copy of its seed corpus (plus freshly generated seeds). Fails on any crash, leak or sanitizer
# report. FUZZ_SECONDS sets the time per target (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZORVEL_BUILD_FUZZ=ON -DZORVEL_BUILD_TESTS=OFF -DZORVEL_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz --target keyed_unarchiver_fuzz keyed_unarchiver_seeds

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
corpus="$work/keyed_unarchiver"
mkdir -p "$corpus" "$work/artifacts"
cp fuzz/corpus/keyed_unarchiver/* "$corpus"/ 2>/dev/null || true
build-fuzz/fuzz/keyed_unarchiver_seeds "$corpus"
build-fuzz/fuzz/keyed_unarchiver_fuzz "$corpus" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/artifacts/" || {
  status=$?
  echo "keyed_unarchiver_fuzz failed (status $status); reproducer(s):" >&2
  mkdir -p build-fuzz/artifacts && cp "$work"/artifacts/* build-fuzz/artifacts/ 2>/dev/null || true
  ls build-fuzz/artifacts >&2 || true
  exit "$status"
}
