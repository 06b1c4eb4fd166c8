#!/bin/bash
# Builds the tree (installing what it needs) and runs the two demonstrations in private sandboxes: the
# relay as lldpd sees it, then the relay reaching a host below two switches.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
/usr/bin/python3 scripts/demo.py
exec /usr/bin/python3 scripts/demo_hosts.py
