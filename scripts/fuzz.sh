#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a fixed time over a
# copy of its seed corpus (plus freshly generated seeds). Fails on any crash, leak or sanitizer
# report. FUZZ_SECONDS sets the time of the keyed unarchiver (default 60); the JSON and
# property-list readers, the cloud client's decoding of server rows and the URL loader's response
# header parsing get FUZZ_READER_SECONDS each (default a quarter of FUZZ_SECONDS), a view's stored
# pages and the JSON adapter half of that each, so the whole run takes about twice FUZZ_SECONDS.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
reader_seconds=${FUZZ_READER_SECONDS:-$(( (seconds + 3) / 4 ))}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZORVEL_BUILD_FUZZ=ON -DZORVEL_BUILD_TESTS=OFF -DZORVEL_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz --target keyed_unarchiver_fuzz keyed_unarchiver_seeds json_reader_fuzz \
  property_list_reader_fuzz reader_seeds cloud_rows_fuzz http_headers_fuzz
cmake --build build-fuzz --target view_page_fuzz json_adapter_fuzz

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/artifacts"

# run <target> <corpus name> <seconds> <max input length> <seed command...>
run() {
  local target=$1 name=$2 time=$3 max_len=$4
  shift 4
  local corpus="$work/$name"
  mkdir -p "$corpus"
  cp fuzz/corpus/"$name"/* "$corpus"/ 2>/dev/null || true
  "$@" "$corpus"
  echo "== $target for ${time}s"
  build-fuzz/fuzz/"$target" "$corpus" -max_total_time="$time" -max_len="$max_len" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/artifacts/" || {
    status=$?
    echo "$target failed (status $status); reproducer(s):" >&2
    mkdir -p build-fuzz/artifacts && cp "$work"/artifacts/* build-fuzz/artifacts/ 2>/dev/null || true
    ls build-fuzz/artifacts >&2 || true
    exit "$status"
  }
}

run keyed_unarchiver_fuzz keyed_unarchiver "$seconds" 8192 build-fuzz/fuzz/keyed_unarchiver_seeds
run json_reader_fuzz json_reader "$reader_seconds" 65536 build-fuzz/fuzz/reader_seeds json
run property_list_reader_fuzz property_list_reader "$reader_seconds" 65536 build-fuzz/fuzz/reader_seeds property_list
# These two start from the hand-made seeds in fuzz/corpus only.
run cloud_rows_fuzz cloud_rows "$reader_seconds" 65536 true
run http_headers_fuzz http_headers "$reader_seconds" 16384 true
run view_page_fuzz view_page "$(( (reader_seconds + 1) / 2 ))" 4096 true
run json_adapter_fuzz json_adapter "$(( (reader_seconds + 1) / 2 ))" 65536 true
