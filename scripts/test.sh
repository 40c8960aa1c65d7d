#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the release build with
# warnings as errors, the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, the concurrency tests under ThreadSanitizer, and
# the fuzz targets over their corpora.
#
# QK_STAGES selects stages (default: "release asan tsan fuzz").
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$QK_TOP"

"$QK_TOP/scripts/deps.sh"

STAGES="${QK_STAGES:-release asan tsan fuzz}"
started=$(date +%s)
stage_time() { echo "== $1 done in $(( $(date +%s) - started ))s"; }

if [[ " $STAGES " == *" release "* ]]; then
  echo "== release build"
  qk_configure build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQK_WERROR=ON
  qk_build build/release
  ctest --test-dir build/release -j "$QK_JOBS" --output-on-failure --timeout 900
  stage_time release
fi

if [[ " $STAGES " == *" asan "* ]]; then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
  qk_configure build/asan -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g" "-DCMAKE_C_FLAGS_DEBUG=-O1 -g" \
    -DQK_SANITIZE=address,undefined -DQK_WERROR=ON -DQK_BENCH=OFF
  qk_build build/asan --target qk_all_tests qk0340
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS="suppressions=$QK_TOP/scripts/lsan.supp" \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan -j "$QK_JOBS" --output-on-failure --timeout 1800 -LE no_sanitizer
  stage_time asan
fi

if [[ " $STAGES " == *" tsan "* ]]; then
  echo "== ThreadSanitizer (concurrency tests)"
  qk_configure build/tsan -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g" "-DCMAKE_C_FLAGS_DEBUG=-O1 -g" \
    -DQK_SANITIZE=thread -DQK_WERROR=ON -DQK_BENCH=OFF
  qk_build build/tsan --target qk_concurrency_tests
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build/tsan -j "$QK_JOBS" --output-on-failure --timeout 1800 -L concurrency
  stage_time tsan
fi

if [[ " $STAGES " == *" fuzz "* ]]; then
  echo "== fuzz targets"
  "$QK_TOP/scripts/fuzz.sh" "${QK_FUZZ_SECONDS:-10}"
  stage_time fuzz
fi

echo "== all tests passed"
