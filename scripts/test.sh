#!/usr/bin/env bash
# Runs every test: the normal build, the address+undefined sanitizer build,
# the thread-sanitizer build of the concurrency tests, the 32-bit MIPS build
# under qemu-mipsel (SKIP_MIPSEL=1 skips it), a short run of every fuzz
# target, and a three-minute soak.
#   scripts/test.sh           everything
#   QUICK=1 scripts/test.sh   the normal build only
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

JOBS=${JOBS:-$(nproc)}
build() {  # build DIR [cmake args...] [-- targets...]
  local dir=$1; shift
  local args=() targets=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do args+=("$1"); shift; done
  [ $# -gt 0 ] && shift && targets=(--target "$@")
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${args[@]}" >/dev/null
  cmake --build "$dir" -j"$JOBS" "${targets[@]}"
}
# Sanitizer reports need line numbers only, and the emulated builds no
# debugger: lighter debug information keeps their builds short. The
# sanitizer builds are optimised at -O1, as the sanitizers advise: about a
# third less compile time per file for the tools' command-line templates.
# Every build makes the tools from unity files: the command-line header is
# compiled a few times instead of once per source file (clang-tidy takes its
# compile commands from a tree of its own).
SANITIZER_OPT=(-DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DPANELD_TOOLS_UNITY=ON)
NO_DEBUG=(-DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DPANELD_TOOLS_UNITY=ON)
stage_start=$SECONDS
stage() {  # stage TITLE: closes the previous stage with its time
  [ -n "${stage_name:-}" ] && echo "-- $stage_name: $((SECONDS - stage_start)) s"
  stage_name=${1%%:*}
  stage_start=$SECONDS
  echo "== $1"
}

stage "layers: no include points up the daemon's layer order"
bash scripts/check_layers.sh

# The system tests mostly wait on the daemon's timers: twice as many as
# there are cores run at once (about half the CPU is used then).
TEST_JOBS=$((JOBS * 2))

stage "normal build"
build build -DPANELD_TOOLS_UNITY=ON
(cd build && ctest --output-on-failure -j"$TEST_JOBS")

stage "style: clang-format over the tree, clang-tidy over the daemon, the simulated platform and the tools"
bash scripts/check_style.sh

if [ -n "${QUICK:-}" ]; then exit 0; fi

stage "address + undefined sanitizer build"
build build-asan -DPANELD_SANITIZE=address,undefined -DPANELD_BENCH=OFF "${SANITIZER_OPT[@]}"
# The test that only waits out the daemon's 15-second timer ran in the
# normal build; everything else runs under the sanitizers.
SLOW='IdleLineIsReopenedEveryFifteenSeconds'
(cd build-asan && ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j"$TEST_JOBS" -E "$SLOW")

stage "thread sanitizer build (concurrency tests)"
# Only the test programs of the concurrency label, and the tools they start.
CONCURRENCY_TESTS=$(grep -l '^concurrency' tests/*/LABELS | xargs -n1 dirname | xargs -n1 basename | sed 's/^/test_/')
build build-tsan -DPANELD_SANITIZE=thread -DPANELD_BENCH=OFF "${SANITIZER_OPT[@]}" -- paneld panelctl panelsim $CONCURRENCY_TESTS
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --output-on-failure -j"$JOBS" -L concurrency)

stage "mipsel (qemu)"
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
  build build-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake -DPANELD_BENCH=OFF "${NO_DEBUG[@]}"
  # Five tests cannot run under emulation (README).
  EMULATION_LIMITS='OfflineScreen.TestModeCyclesColoursUnderItsTextsUntilCommand52|Video.StopReleasesInOrderAndFrameRateZeroKeepsThePeriod|Play.VideoIsLetterboxedAndShownAtTheSourceRate|Install.ProgramsBuiltAgainstThePrefixTalkToTheDevice'
  EMULATION_LIMITS+='|Video.ThirtyFramesASecondHoldWhileTheClockIsSet'
  (cd build-mipsel && ctest --output-on-failure -j"$TEST_JOBS" -E "$EMULATION_LIMITS")
  build build-mipsel-board -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake -DPANELD_PLATFORM=board "${NO_DEBUG[@]}"
  (cd build-mipsel-board && ctest --output-on-failure)
  echo "mipsel (qemu): $((SECONDS - mipsel_start)) s"
fi

stage "fuzz: every target, a short bounded run with its seed corpus"
JOBS=$JOBS scripts/fuzz.sh all "${FUZZ_SECONDS:-20}"

stage "soak: three minutes of hard use through the real protocol"
JOBS=$JOBS scripts/soak.sh 3
stage "all tests passed"
