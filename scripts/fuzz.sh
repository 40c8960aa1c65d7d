#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one: first over its
# checked-in corpus (every file must pass), then for SECONDS of new inputs.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$QK_TOP"

seconds="${1:-10}"; shift || true
CC=clang CXX=clang++ qk_configure build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQK_FUZZ=ON -DQK_BENCH=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(find fuzz -name 'fuzz_*.cpp' -printf '%f\n' | sed 's/\.cpp$//' | sort)
fi
[ ${#targets[@]} -eq 0 ] && { echo "no fuzz targets"; exit 0; }
qk_build build/fuzz --target "${targets[@]}"

for t in "${targets[@]}"; do
  corpus="fuzz/corpus/${t#fuzz_}"
  work="build/fuzz/work/$t"
  mkdir -p "$work" "$corpus"
  echo "-- $t: corpus $(ls "$corpus" | wc -l) files, then ${seconds}s"
  ASAN_OPTIONS=detect_leaks=1 "build/fuzz/fuzzers/$t" -runs=0 "$corpus" >/dev/null 2>"$work/replay.log" || {
    tail -50 "$work/replay.log"; echo "fuzz target $t failed on its corpus"; exit 1; }
  ASAN_OPTIONS=detect_leaks=1 "build/fuzz/fuzzers/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
    -artifact_prefix="$work/" "$work" "$corpus" >/dev/null 2>"$work/run.log" || {
    tail -50 "$work/run.log"; echo "fuzz target $t found a fault (see $work)"; exit 1; }
done
