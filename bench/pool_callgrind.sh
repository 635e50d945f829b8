#!/usr/bin/env bash
# Instructions per pool operation (get at 10 and 1,000 records, store at 10,
# 1,000 and 10,000, the trace off), counted by callgrind over kvpool_bench:
# repeatable figures for bench/callgrind-baseline.txt. Needs root (the
# benchmark isolates itself).
#   bench/pool_callgrind.sh [BUILD_DIR]
set -euo pipefail
build=${1:-build}
out=$(mktemp -d "$build/pool-callgrind.XXXXXX")
trap 'rm -rf "$out"' EXIT
for case in Get/10 Get/1000 Store/10 Store/1000 Store/10000; do
  name=${case%/*}
  function=$([ "$name" = Get ] && echo getKvPoolDataBlock || echo storeKvPoolDataBlock)
  # %p: the benchmark forks a child of its own (the trace line's cost).
  KVPOOL_TRACE=off valgrind --tool=callgrind --callgrind-out-file="$out/cg.%p" \
    "$build/bench/kvpool_bench" --benchmark_filter="BM_$case\$" --benchmark_min_time=0.02 --benchmark_repetitions=1 \
    >/dev/null 2>&1
  # The exported function as the benchmark calls it: in the function's block
  # of the caller tree (blank-line separated), the caller line of the
  # benchmark (its inclusive count and calls).
  line=$(for file in "$out"/cg.*; do
    callgrind_annotate --inclusive=yes --tree=caller "$file" 2>/dev/null |
      awk -v fn="$function" -v bm="BM_$name" 'BEGIN { RS = "" }
        $0 ~ ("[*]  [^\n]*:" fn "( |\n|$)") {
          n = split($0, lines, "\n")
          for (i = 1; i <= n; i++)
            if (lines[i] ~ /< / && index(lines[i], bm) && lines[i] ~ /\([0-9,]+x\)/) print lines[i]
        }'
  done | head -1)
  ir=$(echo "$line" | awk '{gsub(",", "", $1); print $1}')
  calls=$(echo "$line" | sed -E 's/.*\(([0-9,]+)x\).*/\1/; s/,//g')
  printf '%-12s %8d instructions per call (%d calls)\n' "$case" $((ir / calls)) "$calls"
  rm -f "$out"/cg.*
done
