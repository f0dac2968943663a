#!/usr/bin/env bash
# Runs every test: the normal build, the address+undefined sanitizer build,
# the thread-sanitizer build of the concurrency tests, a short run of every
# fuzz target, and a two-minute soak.
#   scripts/test.sh           everything
#   QUICK=1 scripts/test.sh   the normal build only
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

JOBS=${JOBS:-$(nproc)}
build() {  # build DIR [cmake args...]
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$JOBS"
}

echo "== normal build"
build build
(cd build && ctest --output-on-failure -j"$JOBS")

if [ -n "${QUICK:-}" ]; then exit 0; fi

echo "== address + undefined sanitizer build"
build build-asan -DPANELD_SANITIZE=address,undefined -DPANELD_BENCH=OFF
# The two tests that only wait out the daemon's minute and 15-second timers
# ran in the normal build; everything else runs under the sanitizers.
SLOW='BootWithoutHostWarnsThenSwitchesTheBacklightOff|IdleLineIsReopenedEveryFifteenSeconds'
(cd build-asan && ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j"$JOBS" -E "$SLOW")

echo "== thread sanitizer build (concurrency tests)"
build build-tsan -DPANELD_SANITIZE=thread -DPANELD_BENCH=OFF
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --output-on-failure -j"$JOBS" -L concurrency)

echo "== fuzz: every target, a short bounded run with its seed corpus"
JOBS=$JOBS scripts/fuzz.sh all "${FUZZ_SECONDS:-20}"

echo "== soak: two minutes of hard use through the real protocol"
JOBS=$JOBS scripts/soak.sh 2
echo "== all tests passed"
