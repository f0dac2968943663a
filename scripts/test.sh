#!/usr/bin/env bash
# Runs every test: the normal build, the address+undefined sanitizer build,
# the thread-sanitizer build of the concurrency tests, and a short fuzz run.
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

echo "== fuzz: the PNG pixel writer, a short bounded run"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DPANELD_FUZZ=ON -DPANELD_SANITIZE=address,undefined \
  -DPANELD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$JOBS" --target fuzz_png_pixel_writer
corpus=$(mktemp -d)
build-fuzz/fuzz/fuzz_png_pixel_writer -max_total_time="${FUZZ_SECONDS:-20}" -close_fd_mask=2 \
  "$corpus" tests/fixtures/png
rm -rf "$corpus"
echo "== all tests passed"
