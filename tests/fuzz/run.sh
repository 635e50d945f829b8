#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs each for SECONDS (default
# 15), one after the other, in a private IPC namespace and /tmp (as root):
#
#   tests/fuzz/run.sh [SECONDS] [TARGET...]
#
# Each target starts from a scratch copy of its seed corpus (corpus/TARGET/),
# so a run never grows the repository; what it found stays in
# build-fuzz/fuzz-runs/TARGET/ (corpus/, log, and crash-*, leak-*, timeout-*
# for an input that failed). Replay one with: unshare --ipc --mount sh
# tests/e2e/isolated.sh "$PWD" -- build-fuzz/tests/fuzz/TARGET INPUT
# Exit status: 0 every target ran clean, 1 some target failed, 2 the build or
# the command line failed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${KVPOOL_FUZZ_BUILD:-$root/build-fuzz}

seconds=${1:-15}
[ $# -gt 0 ] && shift
case "$seconds" in
  '' | *[!0-9]*) echo "run.sh: SECONDS must be a whole number, not \"$seconds\"" >&2; exit 2 ;;
esac
targets=(script_compile_fuzz script_run_fuzz snapshot_load_fuzz pool_segment_fuzz flow_file_fuzz)
[ $# -gt 0 ] && targets=("$@")
[ "$(id -u)" -eq 0 ] || { echo "run.sh: run as root (unshare of the IPC and mount namespaces)" >&2; exit 2; }
for target in "${targets[@]}"; do
  [ -d "$here/corpus/$target" ] || { echo "run.sh: no fuzz target \"$target\"" >&2; exit 2; }
done

echo "== fuzz build: $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DKVPOOL_FUZZ=ON -DKVPOOL_BUILD_TESTS=OFF \
  -DKVPOOL_BUILD_BENCH=OFF >/dev/null || exit 2
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" || exit 2

# Stack traces name functions and lines; a broken check aborts at once.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for target in "${targets[@]}"; do
  work="$build/fuzz-runs/$target"
  rm -rf "$work"
  mkdir -p "$work/corpus"
  cp "$here/corpus/$target/"* "$work/corpus/"
  options=(-max_total_time="$seconds" -timeout=20 -artifact_prefix="$work/" -print_final_stats=1)
  case "$target" in
    script_*) options+=(-dict="$here/dictionaries/script.dict") ;;
    flow_file_fuzz) options+=(-dict="$here/dictionaries/flow_file.dict") ;;
  esac
  echo "== fuzz: $target for ${seconds}s"
  # -timeout: an input that takes this long hangs; saved as timeout-*.
  if unshare --ipc --mount sh "$root/tests/e2e/isolated.sh" "$root" "$build" -- \
      "$build/tests/fuzz/$target" "${options[@]}" "$work/corpus" >"$work/log" 2>&1; then
    # Runs, coverage, corpus size, speed.
    grep -E '^#[0-9]+[[:space:]]+DONE' "$work/log" | sed "s/^/   /" || true
  else
    failed+=("$target")
    echo "   FAILED: $target (log: $work/log)"
    # The report: from the sanitizer's or the check's first line to the saved input.
    sed -n '/^==[0-9]*==\|fuzz check failed\|^INFO: .*deadly signal\|runtime error/,/Test unit written to/p' \
      "$work/log" | head -n 80
  fi
done

if ((${#failed[@]})); then
  echo "== fuzz: failed: ${failed[*]}"
  exit 1
fi
echo "== fuzz: every target ran clean"
