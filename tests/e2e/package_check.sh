#!/bin/sh
# Builds the Debian package from a build folder into a private folder and has
# lintian check it: the package must carry no error and no warning.
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
deb=$(ls "$out"/*.deb)
status=0
report=$(lintian --fail-on error,warning "$deb" 2>&1) || status=$?
report=$(printf '%s\n' "$report" | grep -v '^running with root privileges' || true)
if [ $status -ne 0 ] || [ -n "$report" ]; then
  printf '%s\n' "$report" >&2
  echo "package check: lintian found problems in $deb" >&2
  exit 1
fi
echo "package $deb passes lintian"
