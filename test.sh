#!/usr/bin/env bash
# Builds everything twice (plain, and with AddressSanitizer + UndefinedBehaviorSanitizer)
# and runs every test in both builds, then builds the fuzz targets and runs each
# briefly (tests/fuzz/run.sh). Installs missing Debian packages first.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKVPOOL_SANITIZE=ON -DKVPOOL_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"

status=0
echo "== tests: plain build"
(cd build && ctest --output-on-failure -j"$jobs") || status=1
echo "== tests: sanitizer build"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j"$jobs") || status=1
echo "== fuzzing: every target for 10 s"
tests/fuzz/run.sh 10 || status=1
exit $status
