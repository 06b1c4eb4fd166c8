#!/bin/bash
# Builds the tree (installing what it needs) and runs the relay demonstration in a private sandbox.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
exec /usr/bin/python3 scripts/demo.py
