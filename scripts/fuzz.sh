#!/usr/bin/env bash
# Runs libFuzzer targets with their seed corpora and dictionaries.
#   scripts/fuzz.sh TARGET|all [SECONDS]    (default 20 s per target)
# Targets: fuzz/*.cpp (e.g. nalu_rings, mcu_frames). New inputs go to
# out/fuzz/<target>/ (kept between runs; the seeds in fuzz/corpus/ are
# read-only); crashes land in out/fuzz/crashes/. A finding becomes a fixed
# bug plus a regression input in fuzz/corpus/<target>/. The last line of
# each target's log (executions, cov, ft) is summed up at the end.
# BUILD=dir picks the build directory (default build-fuzz); JOBS its -j and
# how many targets run side by side.
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:?usage: scripts/fuzz.sh TARGET|all [SECONDS]}
seconds=${2:-20}
build=${BUILD:-build-fuzz}
JOBS=${JOBS:-$(nproc)}

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPANELD_FUZZ=ON \
  -DPANELD_SANITIZE=address,undefined -DPANELD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$JOBS" --target fuzz_all

if [ "$target" = all ]; then
  targets=$(for f in fuzz/*.cpp; do basename "$f" .cpp; done)
else
  targets=$target
fi

mkdir -p out/fuzz/crashes
# fuzz_one TARGET: one bounded run; its log is out/fuzz/TARGET.log.
fuzz_one() {
  local t=$1 bin=$build/fuzz/fuzz_$1 work=out/fuzz/$1 log=out/fuzz/$1.log
  local seeds=() dict=()
  mkdir -p "$work"
  [ -d fuzz/corpus/$t ] && seeds=(fuzz/corpus/$t)
  [ -f fuzz/dict/$t.dict ] && dict=(-dict=fuzz/dict/$t.dict)
  # stdout and stderr of the daemon's code are closed (it logs a lot);
  # libFuzzer and the sanitizers report on their own descriptor.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$bin" -max_total_time="$seconds" -close_fd_mask=3 -timeout=25 -rss_limit_mb=2048 \
    -artifact_prefix=out/fuzz/crashes/$t- -print_final_stats=1 "${dict[@]}" \
    "$work" "${seeds[@]}" >"$log" 2>&1
}

for t in $targets; do
  [ -x "$build/fuzz/fuzz_$t" ] || { echo "fuzz.sh: no target $t" >&2; exit 2; }
done
# Each target is one process on one core: JOBS of them run side by side.
for t in $targets; do
  while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do wait -n || true; done
  echo "== fuzz $t for ${seconds}s"
  rm -f "out/fuzz/$t.failed"
  { fuzz_one "$t" || touch "out/fuzz/$t.failed"; } &
done
wait

status=0
summary=""
for t in $targets; do
  log=out/fuzz/$t.log
  if [ -e "out/fuzz/$t.failed" ]; then
    status=1
    echo "fuzz $t: FINDING (see $log)"
    tail -40 "$log"
  fi
  line=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  execs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}' || true)
  summary+=$(printf '%-18s execs %-10s %s' "$t" "${execs:-?}" "$(echo "$line" | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true)")$'\n'
done
echo "== fuzz summary"
printf '%s' "$summary"
exit $status
