#!/usr/bin/env bash
# Reads every project include ("folder/file.h") and fails on one that runs up
# a floor. The plug-in's floors run one way:
#   host -> support -> pool | node_utils -> script -> node
# pool and node_utils share a floor and never include each other. redis/
# (the Redis module, a shared object of its own) sits on pool and includes
# only host, support and pool headers; nothing of the plug-in includes it.
# broker/,
# tools/ and bench/ stand beside the plug-in and reach it only through its
# exported headers (node/KvPool.h, script/PoolScript.h), the script rules
# (script/ScriptRules.h) and the pool interface.
# Prints the folder-level edges it found, so a reader sees there is no circle.
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

floor() {
  case "$1" in
    host) echo 0 ;;
    support) echo 1 ;;
    pool | node_utils) echo 2 ;;
    script | redis) echo 3 ;;
    node) echo 4 ;;
    *) echo -1 ;;
  esac
}

# What a folder beside the plug-in may include from it.
allowed_beside() {
  local from=$1 target=$2
  case "$from:$target" in
    broker:host/* | broker:support/* | broker:broker/*) return 0 ;;
    tools:host/* | tools:support/* | tools:tools/* | tools:pool/* | tools:node/KvPool.h) return 0 ;;
    tools:script/PoolScript.h | tools:script/ScriptRules.h | tools:broker/Broker.h) return 0 ;;
    bench:host/* | bench:support/* | bench:pool/* | bench:node/KvPool.h | bench:broker/Broker.h) return 0 ;;
  esac
  return 1
}

bad=0
declare -A edges=()
while IFS= read -r -d '' file; do
  from=${file%%/*}
  while IFS= read -r target; do
    to=${target%%/*}
    [ "$to" = "$from" ] && continue
    case "$to" in host | support | pool | node_utils | script | node | broker | tools | redis) ;; *) continue ;; esac
    edges["$from -> $to"]=1
    ff=$(floor "$from")
    tf=$(floor "$to")
    if [ "$ff" -ge 0 ]; then
      if [ "$tf" -lt 0 ] || [ "$tf" -ge "$ff" ] || [ "$to" = redis ]; then
        echo "up a floor: $file includes \"$target\""
        bad=1
      fi
    elif ! allowed_beside "$from" "$target"; then
      echo "beside the plug-in: $file includes \"$target\" (not an exported or pool header)"
      bad=1
    fi
  done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]+"([a-z_]+\/[^"]+)".*/\1/p' "$file")
done < <(find host support pool node_utils script node redis broker tools bench \
  -type f \( -name '*.h' -o -name '*.cpp' \) -print0 2>/dev/null)

echo "include edges between folders:"
printf '  %s\n' "${!edges[@]}" | sort
if [ "$bad" -ne 0 ]; then
  echo "include floors: FAILED"
  exit 1
fi
echo "include floors: OK"
