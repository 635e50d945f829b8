#!/bin/sh
# Builds the Debian packages (kvpool, kvpool-redis) from a build folder into a
# private folder and has lintian check each: none may carry an error or a
# warning.
#
#   package_check.sh BUILD-DIR
set -eu
build=$1
out=$(mktemp -d /tmp/kvpool-package-XXXXXX)
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1; then
  cat "$out/cpack.log" >&2
  echo "package check: cpack failed" >&2
  exit 1
fi
for name in kvpool kvpool-redis; do
  deb=$(ls "$out/${name}_"*.deb 2>/dev/null || true)
  if [ -z "$deb" ]; then
    echo "package check: cpack made no $name package in $out" >&2
    exit 1
  fi
  status=0
  report=$(lintian --fail-on error,warning "$deb" 2>&1) || status=$?
  report=$(printf '%s\n' "$report" | grep -v '^running with root privileges' || true)
  if [ $status -ne 0 ] || [ -n "$report" ]; then
    printf '%s\n' "$report" >&2
    echo "package check: lintian found problems in $deb" >&2
    exit 1
  fi
  echo "package $deb passes lintian"
done
