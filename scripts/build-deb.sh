#!/bin/bash
# Builds the Debian packages from a copy of the tree (the build writes beside the source directory),
# checks them with lintian and leaves the .deb files in OUT. Usage: scripts/build-deb.sh [OUT]
# (default build-deb). The packages it needs to build are in scripts/setup.sh's list.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build-deb}")
version=$(dpkg-parsechangelog -S Version)
src="$out/src/tarvik-relay-$version"
rm -rf "$out"
mkdir -p "$src"
git ls-files -z --cached --others --exclude-standard | tar --null --ignore-failed-read -T - -cf - | tar -xf - -C "$src"

echo "build-deb: building in $src"
(cd "$src" && DEB_BUILD_OPTIONS="parallel=$(nproc) noautodbgsym ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -b -uc -us) \
  >"$out/build.log" 2>&1 || { tail -50 "$out/build.log"; echo "build-deb: package build failed ($out/build.log)"; exit 1; }
mv "$out"/src/*.deb "$out"/src/*.changes "$out"/src/*.buildinfo "$out"/
ls "$out"/*.deb

echo "build-deb: lintian"
lintian --fail-on error,warning --display-info "$out"/*.changes
echo "build-deb: packages in $out"
