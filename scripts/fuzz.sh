#!/bin/bash
# Builds the fuzz targets with clang (AddressSanitizer, UndefinedBehaviorSanitizer) and runs each in
# turn from its committed seed corpus, for an equal share of a bounded time.
# Usage: scripts/fuzz.sh [seconds in all, default 120]
# Prints each target's runs, executions per second and coverage; fails on any finding (crash, leak,
# time-out, out-of-memory, sanitizer report). New inputs stay in a temporary directory; the committed
# corpora are only read.
set -euo pipefail
cd "$(dirname "$0")/.."

# Fuzz targets, one "target corpus-dir" pair per line.
targets=(
  "tallowd_ipc_fuzz tallowd/fuzz_corpus/ipc"
  "tallowd_netlink_fuzz tallowd/fuzz_corpus/netlink"
  "tallowd_state_fuzz tallowd/fuzz_corpus/state"
  "tallowd_lldp_fuzz tallowd/fuzz_corpus/lldp"
  "loginmotd_args_fuzz loginmotd/fuzz_corpus/args"
  "qelt_ports_fuzz qelt/fuzz_corpus/ports"
  "qelt_cli_fuzz qelt/fuzz_corpus/cli"
  "tallowhost_frame_fuzz tallowhost/fuzz_corpus/frame"
)

total=${1:-120}
build=build-fuzz
share=$(( total / ${#targets[@]} ))
[ "$share" -ge 1 ] || share=1

names=()
for entry in "${targets[@]}"; do names+=("${entry%% *}"); done
cmake -S . -B $build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DTARVIK_FUZZ=ON -DTARVIK_TESTS=OFF >/dev/null
cmake --build $build -j"$(nproc)" --target "${names[@]}" >/dev/null

work=$(mktemp -d /tmp/tarvik-fuzz-XXXXXX)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

stat_of() {  # log key
  sed -n "s/^stat::$2: *//p" "$1" | tail -1
}

failed=()
for entry in "${targets[@]}"; do
  read -r name corpus <<<"$entry"
  binary=$(find $build -type f -name "$name" -perm -u+x | head -1)
  log=$work/$name.log
  mkdir "$work/$name"
  status=0
  "$binary" -max_total_time="$share" -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$work/$name-" "$work/$name" "$corpus" 2>"$log" || status=$?
  coverage=$(grep -E '^#[0-9]+.*cov:' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' || true)
  echo "fuzz: $name: $(stat_of "$log" number_of_executed_units) runs in ${share}s," \
    "$(stat_of "$log" average_exec_per_sec) exec/s, $coverage"
  if [ $status -ne 0 ] || compgen -G "$work/$name-*" >/dev/null || grep -q 'runtime error' "$log"; then
    echo "fuzz: $name: finding (status $status):"
    grep -A40 -m1 -E '==ERROR|runtime error|deadly signal|ALARM|fuzz: ' "$log" || tail -40 "$log"
    for artifact in "$work/$name"-*; do
      [ -e "$artifact" ] && { echo "input:"; od -An -tx1 -v "$artifact" | head -20; }
    done
    failed+=("$name")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: findings in ${failed[*]}"
  exit 1
fi
echo "fuzz: ${#targets[@]} targets, ${total}s in all, no finding"
