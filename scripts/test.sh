#!/bin/bash
# The whole test suite: unit and black-box tests on a normal build and the relay's and the host agent's
# model checkers on random sequences; the Debian packages built, checked with lintian, installed, and
# booted under systemd in a container (scripts/boot-test.sh); the tests again on a build with
# AddressSanitizer and UndefinedBehaviorSanitizer (failing on any report); then the fuzz targets for a
# bounded time.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
py=/usr/bin/python3
status=0
step() { echo; echo "=== $*"; }
fail() { echo "FAILED: $*"; status=1; }

run_suite() {  # build-dir label
  local build=$1 label=$2
  step "$label: unit tests"
  ctest --test-dir "$build" --output-on-failure -j2 || fail "$label unit tests"
  step "$label: black-box tests"
  TARVIK_PREFIX="$root/$build/stage" $py -m pytest -q -p no:cacheprovider tests --ignore=tests/flarix --ignore=tests/boot \
    || fail "$label black-box tests"
  if [ -d tests/flarix ]; then
    step "$label: flarix module tests"
    if [ -n "${PRELOAD:-}" ]; then
      # The interpreter is not instrumented: load the runtimes first and leave its own leaks alone.
      TARVIK_PREFIX="$root/$build/stage" LD_PRELOAD="$PRELOAD" ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" \
        $py -m pytest -q -p no:cacheprovider tests/flarix || fail "$label flarix tests"
    else
      TARVIK_PREFIX="$root/$build/stage" $py -m pytest -q -p no:cacheprovider tests/flarix || fail "$label flarix tests"
    fi
  fi
}

step "normal build"
scripts/setup.sh build || exit 1
run_suite build normal

step "normal: relay model checker (random sequences, about 3 minutes)"
TARVIK_PREFIX="$root/build/stage" $py tests/model/checker.py --time 170 --shrink-time 300 || fail "relay model checker"

step "normal: host agent model checker (random sequences, about 2 minutes)"
TARVIK_PREFIX="$root/build/stage" $py tests/model/host_checker.py --time 110 --shrink-time 300 || fail "host model checker"

step "Debian packages: build, lintian, install tests"
if scripts/build-deb.sh build-deb; then
  TARVIK_PREFIX="$root/build/stage" TARVIK_DEB_DIR="$root/build-deb" $py -m pytest -q -p no:cacheprovider \
    tests/packaging/test_packages.py || fail "package tests"
  step "Debian packages booted under systemd in a container (scripts/boot-test.sh)"
  scripts/boot-test.sh build-deb || fail "boot test"
else
  fail "package build"
fi

step "sanitizer build"
scripts/setup.sh build-asan -DTARVIK_SANITIZE=ON || exit 1
reports=$(mktemp -d /tmp/tarvik-sanitizer-XXXXXX)
chmod 1777 "$reports"
export ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1:abort_on_error=0:strict_string_checks=1"
export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1"
PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
run_suite build-asan sanitizer
if compgen -G "$reports/*" >/dev/null; then
  cat "$reports"/* | head -200
  fail "sanitizer reports (above)"
fi
rm -rf "$reports"

if [ -x scripts/fuzz.sh ]; then
  step "fuzzing"
  scripts/fuzz.sh 120 || fail "fuzzing"
fi

echo
if [ $status -eq 0 ]; then echo "ALL TESTS PASSED"; else echo "SOME TESTS FAILED"; fi
exit $status
