#!/bin/bash
# The part of scripts/boot-test.sh that runs as PID 1 of the run's own PID namespace, in its own mount
# namespace: the fresh /run, cgroup2 on /sys/fs/cgroup, the run's cgroup, the overlay on the cached
# root, then the checks. Everything it mounts goes with the namespace; the cgroup is removed here.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
run=$TARVIK_BOOT_RUN
cg=/sys/fs/cgroup/$(basename "$run")

# -n: without it mount makes /run/mount for its notes on the machine's /run, before covering it.
mount -n -t tmpfs -o mode=0755 tmpfs /run
mount -t cgroup2 cgroup2 /sys/fs/cgroup
mount -t tmpfs -o mode=0755 tmpfs "$run"
mkdir "$run/upper" "$run/work" "$run/root"
mount -t overlay overlay -o "lowerdir=$TARVIK_BOOT_BASE,upperdir=$run/upper,workdir=$run/work" "$run/root"

# The container's cgroup lies below one made for this run, so that all of it can be found and removed.
mkdir "$cg"
echo $$ >"$cg/cgroup.procs"

cleanup() {
  # As PID 1 of the namespace, kill -1 reaches every process of the run and nothing else.
  kill -TERM -1 2>/dev/null
  for _ in $(seq 50); do
    [ -z "$(find "$cg" -name cgroup.procs -exec cat {} + 2>/dev/null | grep -vx $$)" ] && break
    sleep 0.1
  done
  kill -KILL -1 2>/dev/null
  echo $$ >/sys/fs/cgroup/cgroup.procs
  for _ in $(seq 50); do
    find "$cg" -depth -type d -exec rmdir {} + 2>/dev/null
    [ -d "$cg" ] || break
    sleep 0.1
  done
  [ -d "$cg" ] && echo "boot-test: cgroup $cg could not be removed" >&2
}
trap 'cleanup; exit 1' INT TERM

cd "$root"
TARVIK_BOOT_ROOT="$run/root" /usr/bin/python3 -m pytest -v -p no:cacheprovider ${TARVIK_BOOT_TESTS:-tests/boot/test_exposure.py tests/boot/test_boot_tallowd.py tests/boot/test_boot_tallowhost.py \
  tests/boot/test_boot_order.py} "$@"
status=$?
cleanup
exit $status
