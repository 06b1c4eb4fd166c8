#!/bin/bash
# Installs the Debian packages the project needs, then configures, builds and installs the tree into
# build/stage. Usage: scripts/setup.sh [build-dir [extra cmake args...]]
set -euo pipefail
cd "$(dirname "$0")/.."

# install_missing [apt-get options...] -- packages...: installs those not installed yet.
install_missing() {
  local opts=() missing=()
  while [ "$1" != "--" ]; do opts+=("$1"); shift; done
  shift
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${opts[@]}" "${missing[@]}" >/dev/null
  fi
}

install_missing -- build-essential cmake g++ clang-14 libclang-rt-14-dev googletest libgtest-dev libgmock-dev \
  libbenchmark-dev python3-dev python3-pytest iproute2 util-linux mount bsdutils procps tar gzip tcpdump
# Building and checking the Debian packages (scripts/build-deb.sh and their tests), without the
# recommended extras.
install_missing --no-install-recommends -- debhelper dh-python dpkg-dev fakeroot devscripts lintian man-db \
  groff-base pkg-config systemd

# Debian's lldpd, run beside the host agent in its tests; installing it must not start it on this
# machine, so services are refused while it installs (unless a policy is already in place).
if ! dpkg-query -W -f='${Status}' lldpd 2>/dev/null | grep -q "install ok installed"; then
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  install_missing --no-install-recommends -- lldpd
  rm -f /usr/sbin/policy-rc.d
  trap - EXIT
fi

build=${1:-build}
shift || true
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVIK_TESTS=ON "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
rm -rf "$build/stage"
cmake --install "$build" --prefix "$build/stage" >/dev/null
echo "setup: built and installed into $build/stage"
