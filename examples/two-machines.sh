#!/usr/bin/env bash
# The packing station on two machines: the orders flow and the shipments flow
# run in two broker processes that share no IPC namespace (each started with
# unshare --ipc, so neither can see the other's shared memory, as on two
# machines), and share one Redis instead. Starts redis-server on a free
# loopback port without persistence, runs the two flows one after the other,
# shows the labelled shipments and the pool, and stops the server. With
# --tls the server speaks TLS alone, as hosted services do, with a
# certificate of a throwaway authority the brokers are told to trust
# (KVPOOL_REDIS_TLS_CA), and the pool is reached with rediss://.
#
#   examples/two-machines.sh [--tls] [BUILD_DIR]      (as root: unshare needs it)
set -euo pipefail
cd "$(dirname "$0")/.."
tls=no
if [ "${1:-}" = --tls ]; then tls=yes; shift; fi
build=${1:-build}
tools=$build/tools
[ -x "$tools/kvflow" ] || { echo "two-machines: build first ($tools/kvflow is missing)" >&2; exit 2; }

work=$(mktemp -d)
cp -r examples/shipping "$work/"
rm -rf "$work/shipping/out"
# One flow file per machine, beside the demo's (its relative paths hold).
python3 - "$work/shipping" <<'EOF'
import json, os, sys
folder = sys.argv[1]
with open(os.path.join(folder, "shipping.json")) as f:
    demo = json.load(f)
for flow in demo["flows"]:
    with open(os.path.join(folder, flow["name"] + ".json"), "w") as f:
        json.dump({"flows": [flow]}, f, indent=2)
EOF

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
listen=(--port "$port")
cli=(-p "$port")
export KVPOOL_BACKEND=redis://127.0.0.1:$port
if [ "$tls" = yes ]; then
  scripts/throwaway-tls.sh "$work"
  listen=(--port 0 --tls-port "$port" --tls-cert-file "$work/server.crt"
          --tls-key-file "$work/server.key" --tls-ca-cert-file "$work/ca.crt"
          --tls-auth-clients no)
  cli=(-p "$port" --tls --cacert "$work/ca.crt")
  export KVPOOL_BACKEND=rediss://localhost:$port
  export KVPOOL_REDIS_TLS_CA=$work/ca.crt
fi
redis-server "${listen[@]}" --bind 127.0.0.1 --save "" --appendonly no --dir "$work" \
  --logfile "$work/redis.log" &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do
  redis-cli "${cli[@]}" ping >/dev/null 2>&1 && break
  sleep 0.05
done
echo "== Redis on 127.0.0.1:$port; KVPOOL_BACKEND=$KVPOOL_BACKEND"

echo
echo "== machine 1: the orders flow (its own IPC namespace)"
unshare --ipc "$tools/kvflow" run "$work/shipping/orders.json" \
  --then "echo '   System V objects seen by machine 1:' \$(tail -q -n +2 /proc/sysvipc/shm /proc/sysvipc/sem | wc -l)"

echo
echo "== machine 2: the shipments flow (another IPC namespace), labelled from Redis"
unshare --ipc "$tools/kvflow" run "$work/shipping/shipments.json"

echo
echo "== held: a parcel scanned without its number"
cat "$work"/shipping/out/held/*.xml
echo
echo "== kvpool list: the pool outlives both flows' node contexts"
"$tools/kvpool" list
