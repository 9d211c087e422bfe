#!/usr/bin/env bash
# Installs what is missing, builds in build-release/ and runs the program's main job: for now the
# benchmark suite, followed by a short summary of its comparisons.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DZORVEL_BUILD_TESTS=OFF >/dev/null
cmake --build build-release
summary=$(mktemp)
failed=()
for b in build-release/bench/*_bench; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  # A program whose benchmark or baseline failed says so and exits non-zero; the others still run.
  "$b" --benchmark_min_time=0.2 --benchmark_color=false 2>&1 | tee -a "$summary" || failed+=("$(basename "$b")")
done
echo
echo "== Summary"
grep -oE 'RATIO.*' "$summary" || echo "(no comparisons)"
rm -f "$summary"
if ((${#failed[@]})); then
  echo "Failed: ${failed[*]}" >&2
  exit 1
fi
