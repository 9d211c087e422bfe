#!/usr/bin/env bash
# Checks that the C++ lines changed since a base commit follow .clang-format (only those lines:
# older code is reformatted when it is next touched). Base: the first argument, else FORMAT_BASE,
# else the merge base with main. Prints the reformatting it wants and fails when there is any.
set -euo pipefail
cd "$(dirname "$0")/.."
base=${1:-${FORMAT_BASE:-$(git merge-base HEAD main 2>/dev/null || git rev-parse HEAD)}}
if ! command -v git-clang-format >/dev/null; then
  echo "git-clang-format not found (Debian package clang-format)" >&2
  exit 1
fi
diff=$(git clang-format --diff --extensions cpp,h "$base" -- . || true)
if [ -z "$diff" ] || [ "$diff" = "no modified files to format" ] || [ "$diff" = "clang-format did not modify any files" ]; then
  echo "format check: lines changed since $(git rev-parse --short "$base") follow .clang-format"
  exit 0
fi
echo "$diff"
echo "format check: the lines above do not follow .clang-format; run: git clang-format $base" >&2
exit 1
