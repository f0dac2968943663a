#!/usr/bin/env bash
# Runs the benchmarks of bench/ one after the other in the normal build and
# gathers their summary lines (each a ratio against a baseline measured in
# the same run): the README's table of performance figures comes from one
# such run. Timing figures mean most on an otherwise idle machine.
#   scripts/bench.sh [UPLOAD_ROUNDS]     (default 5)
# Full outputs: out/bench/<benchmark>.log; the summary: out/bench/summary.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
benches=(bench_jpeg_decode bench_video_pipeline bench_upload bench_display_fill)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target "${benches[@]}" >/dev/null
mkdir -p out/bench
summary=out/bench/summary.txt
{
  echo "# $(date -u '+%F %T UTC'), $(git rev-parse --short HEAD), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
} >"$summary"
for b in "${benches[@]}"; do
  echo "== $b"
  args=()
  [ "$b" = bench_upload ] && args=(--rounds "$rounds")
  build/bench/$b "${args[@]}" >"out/bench/$b.log" 2>&1 || {
    echo "$b failed:" >&2
    tail -20 "out/bench/$b.log" >&2
    exit 1
  }
  # The one-line summaries; the fill benchmark has none, its timings stand.
  # (colour codes taken out: the benchmarks' reporters always write them)
  sed 's/\x1b\[[0-9;]*m//g' "out/bench/$b.log" |
    grep -E '^(jpeg_decode|video_pipeline): |^upload / raw pty|^BM_(Baseline|Draw)' >>"$summary" || true
done
cat "$summary"
