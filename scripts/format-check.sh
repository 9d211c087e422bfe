#!/usr/bin/env bash
# Checks that every tracked C++ file follows .clang-format. Prints the places it would change and
# fails when there is any; `./scripts/format-check.sh --fix` formats them instead.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang-format >/dev/null; then
  echo "clang-format not found (Debian package clang-format)" >&2
  exit 1
fi
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.cc')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
if ! clang-format --dry-run --Werror "${files[@]}"; then
  echo "format check: the places above do not follow .clang-format; run: ./scripts/format-check.sh --fix" >&2
  exit 1
fi
echo "format check: all ${#files[@]} C++ files follow .clang-format"
