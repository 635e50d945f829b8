#!/bin/sh
# Messages through kvflow, as ratios measured in one run:
#   - a KvPoolNode with a three-statement script (store a field, read that key
#     into the output, store another field) against a pass-through flow (an
#     OutputNode alone), with KVPOOL_TRACE=off and with the trace on, and the
#     trace's lines per message and processor time per line;
#   - the three-statement and the pass-through flow in two broker processes
#     against one, beside the ceiling the machine allows at that moment: a
#     short CPU-bound busy loop in two processes against one. The flow's gain
#     over the busy loop's is the figure that a loaded machine does not move.
# With --callgrind instead: instructions per message of the flows under
# valgrind --tool=callgrind, beside those kept in bench/callgrind-baseline.txt.
#
#   bench/flow_bench.sh [--rounds R] [BUILD_DIR]
#   bench/flow_bench.sh --callgrind [BUILD_DIR]
#
# BUILD_DIR defaults to ./build. Two figures per flow:
#   messages/s  kvflow's own figure (wall clock, from the first message to the
#               last), the best of R runs (default 5) taken in turns with the
#               other flow of the ratio, so that load from elsewhere on the
#               machine touches both sides alike;
#   CPU/message the processor time of kvflow and its broker processes per
#               message: the least of R runs of N messages minus the least of
#               R runs of N/5, over 4N/5, so that start-up drops out. Time
#               slices lost to other processes do not count in it, so it
#               holds still on a busy machine where messages/s does not.
# Runs in a private IPC namespace and a private /tmp (unshare: needs root),
# so it never meets a pool or a trace on the machine. Needs python3 for the
# processor times, valgrind for --callgrind.
set -eu

src=$(cd "$(dirname "$0")/.." && pwd)
mode=ratios
rounds=5
while [ $# -gt 0 ]; do
  case "$1" in
    --callgrind) mode=callgrind; shift ;;
    --ratios) mode=ratios; shift ;;
    --rounds) rounds=$2; shift 2 ;;
    -*) echo "flow_bench.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
build=$(cd "${1:-$src/build}" && pwd)
kvflow=$build/tools/kvflow
[ -x "$kvflow" ] || { echo "flow_bench.sh: no kvflow in $build/tools (build first)" >&2; exit 2; }

if [ "${KVPOOL_BENCH_ISOLATED:-}" != 1 ]; then
  exec unshare --ipc --mount sh "$src/tests/e2e/isolated.sh" "$src" "$build" -- \
    env KVPOOL_BENCH_ISOLATED=1 sh "$0" --rounds "$rounds" "--$mode" "$build"
fi

work=$(mktemp -d /tmp/flow_bench.XXXXXX)
mkdir "$work/messages"
for i in 0 1 2 3 4 5 6 7 8 9; do
  echo "<Order><Id>A100$i</Id><Customer>Ada $i</Customer><Item>Pens</Item></Order>" \
    > "$work/messages/order-$i.xml"
done
cat > "$work/pass.json" <<'EOF'
{"flows": [{"name": "pass",
  "nodes": [{"name": "sink", "class": "OutputNode", "attributes": {"stream": "none"}}],
  "wires": [], "input": "sink", "messages": ["messages/"]}]}
EOF
cat > "$work/three.json" <<'EOF'
{"flows": [{"name": "three",
  "nodes": [
    {"name": "kv", "class": "KvPoolNode", "attributes": {"KvPoolExpression": [
      "SET KvPoolOrderId = Body.Order.Id;",
      "SET OutputRoot.XML.Order.Copy = KvPoolOrderId;",
      "SET KvPoolCustomer = Body.Order.Customer;"]}},
    {"name": "sink", "class": "OutputNode", "attributes": {"stream": "none"}},
    {"name": "held", "class": "OutputNode", "attributes": {"stream": "none"}}],
  "wires": [{"from": "kv.out", "to": "sink.in"}, {"from": "kv.failure", "to": "held.in"}],
  "input": "kv", "messages": ["messages/"]}]}
EOF

# One kvflow run: FLOW MESSAGES PROCESSES TRACE(on|off). Prints kvflow's
# messages/s and the processor seconds of kvflow and its broker processes.
run() {
  rm -f /tmp/KvPool.log /tmp/KvPool.log.1
  [ "$1" = busy ] && { busy "$2" "$3"; return; }
  if [ "$4" = off ]; then export KVPOOL_TRACE=off; else unset KVPOOL_TRACE; fi
  python3 -c '
import resource, subprocess, sys
out = subprocess.run(sys.argv[1:], stdout=subprocess.PIPE, text=True, check=True).stdout
rate = next(line.split()[1] for line in out.splitlines() if line.startswith("throughput:"))
used = resource.getrusage(resource.RUSAGE_CHILDREN)
print(rate, used.ru_utime + used.ru_stime)
' "$kvflow" run --processes "$3" --repeat $(($2 / 10)) "$work/$1.json"
}

# The ceiling: PROCESSES processes each counting ITERATIONS of a loop that
# touches nothing but the processor. Prints iterations/s of them all and
# their processor seconds, as run does.
busy() {
  python3 -c '
import os, resource, sys, time
n, processes = int(sys.argv[1]), int(sys.argv[2])
start = time.monotonic()
children = []
for _ in range(processes):
    pid = os.fork()
    if pid == 0:
        total = 0
        for i in range(n):
            total += i * i
        os._exit(0)
    children.append(pid)
for pid in children:
    os.waitpid(pid, 0)
used = resource.getrusage(resource.RUSAGE_CHILDREN)
print(int(n * processes / (time.monotonic() - start)), used.ru_utime + used.ru_stime)
' "$1" "$2"
}

# Trace lines one message of FLOW writes: the lines of 2,000 messages less
# those of 1,000, over 1,000.
traceLines() {
  counts=""
  for n in 1000 2000; do
    run "$1" "$n" 1 on > /dev/null
    counts="$counts $(cat /tmp/KvPool.log /tmp/KvPool.log.1 2> /dev/null | wc -l)"
  done
  echo "$counts" | awk '{ printf "%.1f", ($2 - $1) / 1000 }'
}

# Measures the named flows in turns, rounds times over. Arguments:
# NAME=FLOW,MESSAGES,PROCESSES,TRACE. Prints per name: NAME BEST_RATE
# CPU_MICROSECONDS_PER_MESSAGE (ALL RATES).
measure() {
  samples=""
  round=0
  while [ "$round" -lt "$rounds" ]; do
    for entry in "$@"; do
      name=${entry%%=*}
      set -f
      # shellcheck disable=SC2046
      set -- $(echo "${entry#*=}" | tr ',' ' ') "$@"
      set +f
      small=$(run "$1" $(($2 / 5)) "$3" "$4")
      big=$(run "$1" "$2" "$3" "$4")
      samples="$samples $name:$2:${small#* }:${big% *}:${big#* }"
      shift 4
    done
    round=$((round + 1))
  done
  for entry in "$@"; do
    echo "$samples" | tr ' ' '\n' | tr ':' ' ' | awk -v n="${entry%%=*}" '
      $1 == n {
        messages = $2
        if (small == "" || $3 < small) small = $3
        if (big == "" || $5 < big) big = $5
        if ($4 > best) best = $4
        all = all (all ? " " : "") $4
      }
      END { printf "%s %d %.2f (%s)\n", n, best, (big - small) * 1e6 / (messages * 0.8), all }'
  done
}

field() { echo "$1" | awk -v n="$2" -v f="$3" '$1 == n { print $f }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

# Prints measured flows, one a line, with the cores the best run kept busy
# (messages/s times CPU/message): on a machine busy with other work a flow
# gets less than the cores it could use, and messages/s shows that too.
show() {
  echo "$1" | tr -d '()' | awk '{
    printf "  %-6s %8d messages/s %7.2f us CPU/message %5.2f cores   (messages/s:", $1, $2, $3, $2 * $3 / 1e6
    for (i = 4; i <= NF; i++) printf " %s", $i
    print ")"
  }'
}

if [ "$mode" = ratios ]; then
  echo "flow_bench: $(nproc) cores ($(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)), load average $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "flow_bench: best messages/s of $rounds runs taken in turns; CPU/message from the least processor times"
  echo "KVPOOL_TRACE=off, 50,000 messages:"
  off=$(measure pass=pass,50000,1,off three=three,50000,1,off)
  show "$off"
  echo "  three statements / pass-through: $(ratio "$(field "$off" three 2)" "$(field "$off" pass 2)")x" \
    "in messages/s, $(ratio "$(field "$off" pass 3)" "$(field "$off" three 3)")x by CPU/message"
  echo "trace on, 50,000 messages:"
  on=$(measure pass=pass,50000,1,on three=three,50000,1,on)
  show "$on"
  echo "  three statements / pass-through: $(ratio "$(field "$on" three 2)" "$(field "$on" pass 2)")x" \
    "in messages/s, $(ratio "$(field "$on" pass 3)" "$(field "$on" three 3)")x by CPU/message"
  lines=$(traceLines three)
  passLines=$(traceLines pass)
  echo "  trace lines per message: three statements $lines, pass-through $passLines;" \
    "$(awk -v on="$(field "$on" three 3)" -v off="$(field "$off" three 3)" -v l="$lines" -v p="$passLines" \
      'BEGIN { printf "%.2f", (l > p ? (on - off) / (l - p) : 0) }') us CPU per line" \
    "(the three-statement message's CPU with the trace on less with it off, over its lines)"
  echo "in one and in two broker processes, KVPOOL_TRACE=off, 200,000 messages (busy loop: 5,000,000 rounds):"
  procs=$(measure busy1=busy,5000000,1,off busy2=busy,5000000,2,off \
    one=three,200000,1,off two=three,200000,2,off pass1=pass,200000,1,off pass2=pass,200000,2,off)
  show "$procs"
  busyGain=$(ratio "$(field "$procs" busy2 2)" "$(field "$procs" busy1 2)")
  flowGain=$(ratio "$(field "$procs" two 2)" "$(field "$procs" one 2)")
  passGain=$(ratio "$(field "$procs" pass2 2)" "$(field "$procs" pass1 2)")
  echo "  two processes / one: busy loop ${busyGain}x, three statements ${flowGain}x," \
    "pass-through ${passGain}x (messages or rounds per second)"
  echo "  three statements' gain / the busy loop's: $(ratio "$flowGain" "$busyGain");" \
    "pass-through's: $(ratio "$passGain" "$busyGain")"
  echo "flow_bench: load average after $(cut -d' ' -f1-3 /proc/loadavg)"
  rm -rf "$work"
  exit 0
fi

# Instructions of the broker process per message: the difference between
# runs of 3,000 and 1,000 messages, over 2,000, so that start-up and the
# building of the flow drop out. The worker is the process with the most
# instructions; its count repeats exactly from run to run.
instructions() {
  counts=""
  for n in 1000 3000; do
    rm -f "$work"/callgrind.* /tmp/KvPool.log /tmp/KvPool.log.1
    if [ "$2" = off ]; then export KVPOOL_TRACE=off; else unset KVPOOL_TRACE; fi
    valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.%p" \
      "$kvflow" run --repeat $((n / 10)) "$work/$1.json" > /dev/null 2>&1
    counts="$counts $(cat "$work"/callgrind.* | awk '/^totals:/ { if ($2 > m) m = $2 } END { print m }')"
  done
  echo "$counts" | awk '{ printf "%d", ($2 - $1) / 2000 }'
}

command -v valgrind > /dev/null || { echo "flow_bench.sh: valgrind is not installed" >&2; exit 2; }
baseline=$src/bench/callgrind-baseline.txt
echo "flow_bench: instructions per message of the broker process (callgrind)"
for entry in "pass-through off" "pass-through on" "three-statements off" "three-statements on"; do
  set -- $entry
  flow=pass
  [ "$1" = three-statements ] && flow=three
  count=$(instructions "$flow" "$2")
  label="$1 trace=$2"
  kept=""
  if [ -f "$baseline" ]; then
    kept=$(awk -v l="$label" '$0 !~ /^#/ && $1 " " $2 == l { print $3 }' "$baseline")
  fi
  if [ -n "$kept" ]; then
    printf '%-30s %8d   baseline %8d   %+.1f%%\n' "$label" "$count" "$kept" \
      "$(awk -v a="$count" -v b="$kept" 'BEGIN { print (a - b) * 100 / b }')"
  else
    printf '%-30s %8d\n' "$label" "$count"
  fi
done
rm -rf "$work"
