#!/bin/bash
# Runs a random-sequence model checker against the installed programs for a long time: the relay's
# (tallowd, the default) or the host agent's (tallowhost).
# Usage: scripts/soak.sh [SECONDS [relay|host] [checker options...]]   (default 3600 s, relay; builds
# build/stage if absent)
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-3600}
shift || true
checker=tests/model/checker.py
case "${1:-}" in
  relay) shift ;;
  host) checker=tests/model/host_checker.py; shift ;;
esac
[ -x build/stage/sbin/tallowd ] && [ -x build/stage/sbin/tallowhost ] || scripts/setup.sh build || exit 1
TARVIK_PREFIX="${TARVIK_PREFIX:-$(pwd)/build/stage}" exec /usr/bin/python3 "$checker" --time "$seconds" "$@"
