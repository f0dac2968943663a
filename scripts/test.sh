#!/usr/bin/env bash
# Runs every test: the normal build, the address+undefined sanitizer build,
# the thread-sanitizer build of the concurrency tests, the 32-bit MIPS build
# under qemu-mipsel (SKIP_MIPSEL=1 skips it), a short run of every fuzz
# target, and a two-minute soak.
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

echo "== layers: no include points up the daemon's layer order"
bash scripts/check_layers.sh

echo "== normal build"
build build
(cd build && ctest --output-on-failure -j"$JOBS")

echo "== style: clang-format over the tree, clang-tidy over the daemon's sources"
bash scripts/check_style.sh build

if [ -n "${QUICK:-}" ]; then exit 0; fi

echo "== address + undefined sanitizer build"
build build-asan -DPANELD_SANITIZE=address,undefined -DPANELD_BENCH=OFF
# The test that only waits out the daemon's 15-second timer ran in the
# normal build; everything else runs under the sanitizers.
SLOW='IdleLineIsReopenedEveryFifteenSeconds'
(cd build-asan && ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j"$JOBS" -E "$SLOW")

echo "== thread sanitizer build (concurrency tests)"
build build-tsan -DPANELD_SANITIZE=thread -DPANELD_BENCH=OFF
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --output-on-failure -j"$JOBS" -L concurrency)

echo "== mipsel (qemu)"
# The board's 32-bit MIPS build: every test again under qemu-mipsel, and the
# board build's symbol check. SKIP_MIPSEL=1 leaves it out, and says so.
if [ "${SKIP_MIPSEL:-}" = 1 ]; then
  echo "SKIPPED: SKIP_MIPSEL=1 leaves out the mipsel build and its tests"
else
  mipsel_start=$SECONDS
  if ! bash scripts/sysroot.sh >/dev/null; then
    echo "mipsel (qemu) FAILED: the sysroot could not be built (reason above)" >&2
    exit 1
  fi
  build build-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake -DPANELD_BENCH=OFF
  # Emulated tests spend most of their time waiting on the daemon's timers,
  # so twice as many run at once. Five cannot run under emulation (README).
  EMULATION_LIMITS='OfflineScreen.TestModeCyclesColoursUnderItsTextsUntilCommand52|Video.StopReleasesInOrderAndFrameRateZeroKeepsThePeriod|Play.VideoIsLetterboxedAndShownAtTheSourceRate|Install.ProgramsBuiltAgainstThePrefixTalkToTheDevice'
  EMULATION_LIMITS+='|Video.ThirtyFramesASecondHoldWhileTheClockIsSet'
  (cd build-mipsel && ctest --output-on-failure -j"$((JOBS * 2))" -E "$EMULATION_LIMITS")
  build build-mipsel-board -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake -DPANELD_PLATFORM=board
  (cd build-mipsel-board && ctest --output-on-failure)
  echo "mipsel (qemu): $((SECONDS - mipsel_start)) s"
fi

echo "== fuzz: every target, a short bounded run with its seed corpus"
JOBS=$JOBS scripts/fuzz.sh all "${FUZZ_SECONDS:-20}"

echo "== soak: two minutes of hard use through the real protocol"
JOBS=$JOBS scripts/soak.sh 2
echo "== all tests passed"
