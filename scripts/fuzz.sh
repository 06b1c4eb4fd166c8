#!/bin/bash
# Builds the fuzz targets with clang (AddressSanitizer, UndefinedBehaviorSanitizer) and runs each for a
# bounded time from the committed seed corpus. Usage: scripts/fuzz.sh [seconds per target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz
cmake -S . -B $build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DTARVIK_FUZZ=ON -DTARVIK_TESTS=OFF >/dev/null
cmake --build $build -j"$(nproc)" --target tallowd_ipc_fuzz
work=$(mktemp -d /tmp/tarvik-fuzz-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
status=0
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
  $build/tallowd/tallowd_ipc_fuzz -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
  -artifact_prefix="$work/" "$work/corpus" tallowd/fuzz_corpus/ipc 2>"$work/log" || status=$?
tail -5 "$work/log"
if [ $status -ne 0 ] || compgen -G "$work/crash-*" >/dev/null || compgen -G "$work/leak-*" >/dev/null; then
  echo "fuzz: finding (status $status)"; grep -A40 -m1 -E 'ERROR|runtime error' "$work/log" || true
  exit 1
fi
echo "fuzz: tallowd_ipc_fuzz ran ${seconds}s clean"
