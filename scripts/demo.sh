#!/bin/bash
# Builds the tree (installing what it needs) and runs the two demonstrations in private sandboxes: the
# relay as lldpd sees it, then the relay reaching a host below two switches.
set -euo pipefail
cd "$(dirname "$0")/.."
# The build's progress goes to a log; only a failure shows it.
log=build/demo-setup.log
mkdir -p build
echo "demo: building and installing into build/stage (a first run installs packages and builds the whole"
echo "demo: tree, some minutes; later runs rebuild what changed); progress in $log"
if ! scripts/setup.sh build >"$log" 2>&1; then
  tail -40 "$log"
  echo "demo: the build failed; the whole log is $log"
  exit 1
fi
/usr/bin/python3 scripts/demo.py
exec /usr/bin/python3 scripts/demo_hosts.py
