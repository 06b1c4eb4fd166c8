#!/bin/bash
# Boots the built Debian packages under a real systemd and runs the checks of tests/boot against them.
#
# A minimal Debian 12 root (debootstrap --variant=minbase with systemd, dbus and iproute2, from the
# archive the machine's apt sources name, then prometheus-node-exporter installed with the root's own
# apt-get) is kept in CACHE, one per set of package versions, so that a rerun does not rebuild it. Each
# run puts a throwaway overlay on it, installs the packages there with apt-get and boots it with
# systemd-nspawn -b, all inside mount and PID namespaces of this run's own:
# /run is a fresh tmpfs and cgroup2 is mounted on /sys/fs/cgroup, so nspawn needs no system bus and
# leaves nothing under the machine's /run; the container lives in a cgroup made for the run and
# removed after it. The namespaces die with the run, and with them every mount and process.
#
# Usage: scripts/boot-test.sh [DEB_DIR [pytest arguments...]]   (default build-deb)
# Environment: TARVIK_BOOT_CACHE (default build-boot), TARVIK_BOOT_MIRROR (default: the machine's).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
debs=$(realpath -m "${1:-build-deb}")
shift || true
cache=$(realpath -m "${TARVIK_BOOT_CACHE:-build-boot}")
suite=bookworm
include=systemd,dbus,iproute2
# Installed in the root after debootstrap, from the same archive with apt-get: the exporter whose textfile
# collector reads tallowhost's metrics file.
extra=prometheus-node-exporter
packages=(tallowd libtallowd1 tallowctl tallowhost tarvik-standins)

for p in "${packages[@]}"; do
  compgen -G "$debs/${p}_*.deb" >/dev/null || { echo "boot-test: no ${p} package in $debs"; exit 1; }
done

# --- the host's tools ------------------------------------------------------------------------
missing=()
for p in debootstrap systemd-container; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "boot-test: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The first Debian mirror of the machine's apt sources (deb822 or one-line format).
machine_mirror() {
  { grep -hs '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{for (i = 2; i <= NF; i++) print $i}'
    grep -hs '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list | awk '{print ($2 ~ /^\[/) ? $3 : $2}'
  } | grep -E '/debian/?$' | head -1 || true
}
mirror=${TARVIK_BOOT_MIRROR:-$(machine_mirror)}
[ -n "$mirror" ] || { echo "boot-test: no Debian mirror in the apt sources; set TARVIK_BOOT_MIRROR"; exit 1; }

# --- the cached root -------------------------------------------------------------------------
# Keyed by what makes it: debootstrap's version, the mirror and suite, and the versions the package
# lists give for the point release (base-files), the C library and the packages asked for.
versions=$(apt-cache show --no-all-versions base-files libc6 systemd dbus iproute2 $extra 2>/dev/null \
  | awk '/^Package:/ {p = $2} /^Version:/ {print p, $2}')
key=$( { dpkg-query -W -f='${Version}' debootstrap; echo " $mirror $suite $include $extra"; echo "$versions"; } \
  | sha256sum | cut -c1-16)
base="$cache/root-$key"
if [ ! -e "$base/.complete" ]; then
  echo "boot-test: building the root $base (debootstrap $suite from $mirror)"
  started=$SECONDS
  rm -rf "$cache"/root-* "$cache"/tmp-*
  mkdir -p "$cache"
  # debootstrap mounts /proc and /sys in the new root: in a mount namespace of its own, with a /run of
  # its own for the mount table's notes, none of that reaches the machine. (-n: mount would otherwise
  # make /run/mount on the machine's /run before covering it.)
  unshare --mount --propagation private -- sh -c 'mount -n -t tmpfs -o mode=0755 tmpfs /run && exec "$@"' sh \
    debootstrap --variant=minbase --include="$include" "$suite" "$cache/tmp-$key" "$mirror" \
    >"$cache/debootstrap.log" 2>&1 || { tail -30 "$cache/debootstrap.log"; echo "boot-test: debootstrap failed"; exit 1; }
  # In a chroot, in the same kind of mount namespace; policy-rc.d keeps the package's service from being
  # started there (it is enabled, and starts when the container boots).
  unshare --mount --propagation private -- sh -c '
    set -e
    mount -n -t tmpfs -o mode=0755 tmpfs /run
    mount -n -t proc proc "$1/proc"
    printf "#!/bin/sh\nexit 101\n" >"$1/usr/sbin/policy-rc.d"
    chmod 755 "$1/usr/sbin/policy-rc.d"
    chroot "$1" /usr/bin/env DEBIAN_FRONTEND=noninteractive sh -c \
      "apt-get update -q && apt-get install -y -q --no-install-recommends $2"
    rm "$1/usr/sbin/policy-rc.d"' sh "$cache/tmp-$key" "$extra" \
    >"$cache/apt-get.log" 2>&1 || { tail -30 "$cache/apt-get.log"; echo "boot-test: installing $extra failed"; exit 1; }
  rm -rf "$cache/tmp-$key"/var/cache/apt/archives/*.deb "$cache/tmp-$key"/var/lib/apt/lists/*
  echo "$versions" >"$cache/tmp-$key/.complete"
  mv "$cache/tmp-$key" "$base"
  echo "boot-test: root built in $((SECONDS - started)) s"
else
  echo "boot-test: using the cached root $base"
fi

# --- one run, inside namespaces of its own ---------------------------------------------------
# What the run could leave on the machine: nspawn's directories under /run, mount's notes, the run's
# cgroup (in the machine's cgroup2 hierarchy), mounts of the run or the cache.
cgroup2=$(awk '$9 == "cgroup2" {print $5; exit}' /proc/self/mountinfo)
leftovers() {
  ls -A /run/systemd/nspawn 2>/dev/null | sed 's|^|/run/systemd/nspawn/|'
  [ -e /run/systemd/nspawn ] && echo "/run/systemd/nspawn"
  [ -e /run/mount ] && echo "/run/mount"
  [ -n "$cgroup2" ] && find "$cgroup2" -maxdepth 1 -type d -name 'tarvik-boot-*'
  awk -v c="$cache" -v r="$run" 'index($5, c) == 1 || index($5, r) == 1 {print "mount " $5}' /proc/self/mountinfo
}
run=$(mktemp -d /tmp/tarvik-boot-XXXXXX)
before=$(leftovers)
finish() {
  # The namespaces are gone with their last process; a cgroup the inner part could not remove is empty
  # by now and goes here.
  if [ -n "$cgroup2" ] && [ -d "$cgroup2/$(basename "$run")" ]; then
    find "$cgroup2/$(basename "$run")" -depth -type d -exec rmdir {} + 2>/dev/null
  fi
  rmdir "$run" 2>/dev/null
  after=$(leftovers)
  if [ "$after" != "$before" ]; then
    echo "boot-test: left on the machine:"
    diff <(echo "$before") <(echo "$after") | sed -n 's/^> /  /p'
    return 1
  fi
  echo "boot-test: nothing left on the machine (no /run/systemd/nspawn, cgroup or mount of the run)"
}
trap 'finish; exit 1' INT TERM

export TARVIK_BOOT_BASE=$base TARVIK_BOOT_DEBS=$debs TARVIK_BOOT_RUN=$run TARVIK_BOOT_PACKAGES="${packages[*]}"
set +e
# --kill-child: should this script die, the namespace's first process is told to clean up.
unshare --mount --propagation private --pid --fork --mount-proc --kill-child=TERM -- \
  "$root/scripts/boot-test-inner.sh" "$@"
status=$?
finish || status=1
exit $status
