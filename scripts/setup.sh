#!/bin/bash
# Installs the Debian packages the project needs, then configures, builds and installs the tree into
# build/stage. Usage: scripts/setup.sh [build-dir [extra cmake args...]]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake g++ clang-14 libclang-rt-14-dev googletest libgtest-dev libgmock-dev
          libbenchmark-dev python3-dev python3-pytest iproute2 util-linux mount bsdutils procps tar gzip
          tcpdump)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

build=${1:-build}
shift || true
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVIK_TESTS=ON "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
rm -rf "$build/stage"
cmake --install "$build" --prefix "$build/stage" >/dev/null
echo "setup: built and installed into $build/stage"
