#!/bin/bash
# Runs a command in fresh mount, network and PID namespaces: tmpfs on /run, throwaway overlays on /etc,
# /usr and /dev, sysfs of the new network namespace, loopback up. Used by CTest for test binaries that
# need the components' fixed paths.
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 command [args...]" >&2; exit 2; }
exec unshare --mount --net --pid --fork --mount-proc --propagation private bash -c '
  set -e
  base=$(mktemp -d /tmp/tarvik-ns-XXXXXX)
  mount -t tmpfs -o mode=0755 tmpfs "$base"
  for d in etc usr dev; do
    mkdir "$base/$d.u" "$base/$d.w"
    mount -t overlay overlay -o "lowerdir=/$d,upperdir=$base/$d.u,workdir=$base/$d.w" "/$d"
  done
  mount -t tmpfs -o mode=0755 tmpfs /run
  mount -t sysfs sysfs /sys
  ip link set lo up
  rc=0
  "$@" || rc=$?
  umount "$base" 2>/dev/null || true
  rmdir "$base" 2>/dev/null || true
  exit $rc
' in_sandbox "$@"
