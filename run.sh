#!/usr/bin/env bash
# Builds everything (installing missing Debian packages first) and runs the
# demo: a packing station where one broker process records the order being
# packed in the shared pool and another labels each scanned parcel from it.
# The pool is listed while the two flows still hold it; when they end, the
# last node context removes it, so the demo leaves no pool behind.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

tools=build/tools
example=examples/shipping
rm -rf "$example/out"
if "$tools/kvpool" status | grep -q '^pool: present'; then
  echo "note: a pool exists on this machine already; the demo joins it and adds its keys"
fi

echo
echo "== labelled shipments, printed by the shipments flow (broker process 2)"
"$tools/kvflow" run "$example/shipping.json" \
  --then "echo; echo '== kvpool list, while both flows still hold the pool'; $tools/kvpool list"

echo
echo "== held: a parcel scanned without its number (the failure terminal's output)"
cat "$example"/out/held/*.xml
echo
echo "== after the run"
"$tools/kvpool" status
