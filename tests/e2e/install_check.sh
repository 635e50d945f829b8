#!/bin/sh
# Installs the build into a fresh prefix under the private /tmp and checks what
# an administrator gets: the plug-in without a run path or a broker library to
# need, and tools that run from the prefix on the broker library installed
# with them, kvflow taking the installed plug-in by default.
#
#   install_check.sh CMAKE BUILD-DIR
set -eu
cmake=$1
build=$2
fail() {
  echo "install check: $*" >&2
  exit 1
}

prefix=$(mktemp -d /tmp/kvpool-install-XXXXXX)
"$cmake" --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install $build into $prefix failed"
plugin=$prefix/lib/kvpool/libKvPool.so
[ -f "$plugin" ] || fail "no plug-in at $plugin"
[ -f "$prefix/share/doc/kvpool/README.md" ] || fail "no README in $prefix/share/doc/kvpool"

dynamic=$(readelf -d "$plugin") || fail "readelf -d $plugin failed"
if echo "$dynamic" | grep -E 'RPATH|RUNPATH|libkvbroker'; then
  fail "$plugin carries a run path or needs the broker library"
fi

for tool in kvflow kvpool; do
  "$prefix/bin/$tool" --help >/dev/null || fail "$prefix/bin/$tool --help failed"
  ldd "$prefix/bin/$tool" | grep -q "libkvbroker.so => $prefix/bin/../lib/kvpool/broker/" ||
    fail "$prefix/bin/$tool does not take libkvbroker.so from the prefix: $(ldd "$prefix/bin/$tool")"
done
"$prefix/bin/kvflow" run --help | grep -q -- "--plugin TEXT=$plugin\$" ||
  fail "kvflow's default plug-in is not $plugin"
# The installed tool, plug-in and broker library work together.
"$prefix/bin/kvflow" check "$prefix/share/doc/kvpool/examples/shipping/shipping.json" >/dev/null ||
  fail "the installed kvflow check of the installed example failed"
echo "installed into $prefix: plug-in, tools and docs in place"
