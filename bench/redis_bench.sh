#!/usr/bin/env bash
# Starts a redis-server on a free loopback port (no persistence), runs
# redis_bench against it and stops it by its pid:
#
#   bench/redis_bench.sh [BUILD_DIR] [--tls] [redis_bench options]
#
# With --tls the server also speaks TLS on a second free port, with a
# certificate of a throwaway authority (scripts/throwaway-tls.sh), and the
# pool's operations are measured over TLS too, in the same run. The trace is
# off (KVPOOL_TRACE=off) unless the caller sets KVPOOL_TRACE.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
[ $# -gt 0 ] && shift
bench="$build/bench/redis_bench"
[ -x "$bench" ] || { echo "redis_bench: $bench not built (cmake --build $build --target redis_bench)" >&2; exit 2; }
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
port=$(free_port)
workdir=$(mktemp -d)
tls=()
bench_tls=()
if [ "${1:-}" = --tls ]; then
  shift
  tls_port=$(free_port)
  scripts/throwaway-tls.sh "$workdir"
  tls=(--tls-port "$tls_port" --tls-cert-file "$workdir/server.crt"
       --tls-key-file "$workdir/server.key" --tls-ca-cert-file "$workdir/ca.crt"
       --tls-auth-clients no)
  bench_tls=(--tls-port "$tls_port" --tls-ca "$workdir/ca.crt")
fi
redis-server --port "$port" --bind 127.0.0.1 --save "" --appendonly no --dir "$workdir" \
  --logfile "$workdir/redis.log" "${tls[@]}" &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -rf "$workdir"' EXIT
for _ in $(seq 100); do
  redis-cli -p "$port" ping >/dev/null 2>&1 && break
  sleep 0.05
done
KVPOOL_TRACE=${KVPOOL_TRACE:-off} "$bench" --port "$port" "${bench_tls[@]}" "$@"
