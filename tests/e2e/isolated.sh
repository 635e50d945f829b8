#!/bin/sh
# Runs a command with a private /tmp, inside the private IPC and mount
# namespaces unshare(1) made:
#
#   unshare --ipc --mount sh isolated.sh TREE... -- COMMAND [ARG...]
#
# The new /tmp is a tmpfs named e2e-tmp (run.py looks for it). A TREE under
# /tmp (the source or build tree of a checkout there) would be hidden by it,
# so it is bound back at its own path from a handle on the old /tmp. Give
# outer trees first: one inside a tree already bound is visible through it.
set -eu
exec 3</tmp
mount -t tmpfs e2e-tmp /tmp
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  case "$1" in
    /tmp/*)
      if [ ! -e "$1" ]; then
        mkdir -p "$1"
        # Not canonicalized: mount(8) would resolve the handle's path to the new /tmp.
        mount --no-canonicalize --rbind "/proc/self/fd/3/${1#/tmp/}" "$1"
      fi
      ;;
  esac
  shift
done
[ $# -gt 1 ] || { echo "isolated.sh: no command after --" >&2; exit 2; }
shift
exec 3<&-
exec "$@"
