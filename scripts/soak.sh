#!/bin/bash
# Runs the relay's random-sequence model checker against the installed daemon for a long time.
# Usage: scripts/soak.sh [SECONDS [checker options...]]   (default 3600 s; builds build/stage if absent)
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-3600}
shift || true
[ -x build/stage/sbin/tallowd ] || scripts/setup.sh build || exit 1
TARVIK_PREFIX="${TARVIK_PREFIX:-$(pwd)/build/stage}" exec /usr/bin/python3 tests/model/checker.py --time "$seconds" "$@"
