#!/usr/bin/env bash
# Soak: `panelsim run` and the host load generator (tools/soakload) through
# the real protocol for MINUTES, with faults; samples the daemon's memory,
# descriptors, threads and frame rate every 10 s, then checks that uploaded
# files are intact, that the daemon answers, and that memory (within 1 %),
# descriptors and threads did not grow between the end of minute 5 and the
# end (runs under 10 minutes: from the first quiet sample, after one round
# of warm-up). Writes out/soak/<build>/samples.csv and soak.png.
#   scripts/soak.sh MINUTES            normal build (build/)
#   BUILD=build-asan scripts/soak.sh M  address+undefined sanitizer build
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=${1:?usage: scripts/soak.sh MINUTES}
build=${BUILD:-build}
JOBS=${JOBS:-$(nproc)}
out=${OUT:-out/soak/$(basename "$build")}
media=out/soak/media
mkdir -p "$out" "$media"

if [ ! -f "$build/CMakeCache.txt" ]; then
  extra=()
  [ "$build" = build-asan ] && extra=(-DPANELD_SANITIZE=address,undefined -DPANELD_BENCH=OFF)
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
fi
cmake --build "$build" -j"$JOBS" --target paneld panelsim soakload soak_exit_check >/dev/null
# The exit command ends the daemon with _exit, past the leak checker's check
# at exit: in an address-sanitizer build a preloaded shim runs it first.
preload=""
if grep -q '^PANELD_SANITIZE:STRING=.*address' "$build/CMakeCache.txt"; then
  preload=$(realpath "$build/tools/soakload/libsoak_exit_check.so")
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=16:allocator_release_to_os_interval_ms=1000:abort_on_error=1}:verify_asan_link_order=0
fi

# Media beyond what `panelsim init` puts on the device: bands for two and
# three parts, overlay pictures, a second JPEG frame. Made once.
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
band() {  # band OUT WIDTHxHEIGHT SOURCE
  [ -s "$1" ] || ff -f lavfi -i "$3=size=$2:rate=15" -t 2 -c:v libx264 -profile:v baseline \
    -preset veryfast -crf 34 -g 30 -x264-params slices=1 -pix_fmt yuv420p -f h264 "$1"
}
band "$media/two0.h264" 1080x1408 testsrc2
band "$media/two1.h264" 1080x880 smptebars
band "$media/three0.h264" 1080x768 testsrc
band "$media/three1.h264" 1080x768 rgbtestsrc
band "$media/three2.h264" 1080x752 testsrc2
[ -s "$media/small.png" ] || ff -f lavfi -i "testsrc=size=240x120" -frames:v 1 -pix_fmt rgba "$media/small.png"
[ -s "$media/full.png" ] || ff -f lavfi \
  -i "color=c=black@0.0:s=1080x2288,format=rgba,drawbox=x=0:y=0:w=1080:h=160:color=red@0.5:t=fill" \
  -frames:v 1 "$media/full.png"
[ -s "$media/frame.jpg" ] || ff -f lavfi -i "testsrc2=size=1080x2288" -frames:v 1 -q:v 6 "$media/frame.jpg"

root=$(mktemp -d /tmp/paneld-soak-XXXXXX)
sim=""
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT
"$build/panelsim" init "$root" >/dev/null
rm -f "$out/heap.log"
# The daemon logs every frame: keep only the end of its output. glibc gets a
# fixed mmap threshold and one arena, so that large buffers freed after use
# (a picture's decode planes, a file's bytes) go back to the system at once
# and the samples show what the daemon holds, not what the allocator caches
# per thread. A leak, large or small, still shows. Under the address
# sanitizer its allocator likewise gives freed pages back every second;
# its quarantine of freed blocks (16 MiB) fills in the first minutes and
# then stays level.
MALLOC_MMAP_THRESHOLD_=${MALLOC_MMAP_THRESHOLD_:-131072} MALLOC_ARENA_MAX=${MALLOC_ARENA_MAX:-1} \
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=16:allocator_release_to_os_interval_ms=1000:abort_on_error=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} LD_PRELOAD=$preload \
SOAK_HEAP_LOG=${preload:+$(realpath "$out")/heap.log} \
  "$build/panelsim" run "$root" > >(tail -n 20000 >"$out/daemon.log") 2>&1 &
sim=$!
for _ in $(seq 600); do [ -e "$root/host/ttyGS0" ] && break; sleep 0.1; done
pid=""  # the daemon: panelsim's child, found without procps
for s in /proc/[0-9]*/stat; do
  read -r p comm _ ppid _ <"$s" 2>/dev/null || continue
  [ "$ppid" = "$sim" ] && [ "$comm" = "(paneld)" ] && pid=$p
done
[ -n "$pid" ] || { echo "soak: the daemon did not start" >&2; exit 1; }

echo "== soak: $minutes min on $build (daemon pid $pid)"
status=0
start=$(date +%s.%N)  # soakload's time 0, to place the heap samples
"$build/soakload" "$root" "$pid" $((minutes * 60)) "$out" "$media" "$build/panelsim" \
  | tee "$out/load.log" || status=1
# soakload ends the daemon with the exit command (a sanitizer build's leak
# check then runs over the whole soak, through the shim); panelsim run ends
# with it.
for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill "$sim" 2>/dev/null || true
wait "$sim" 2>/dev/null || true
sim=""
sleep 0.5
if grep -qE "ERROR: AddressSanitizer|runtime error:|ERROR: LeakSanitizer" "$out/daemon.log"; then
  echo "soak: sanitizer report in $out/daemon.log" >&2
  status=1
fi
heap=()
[ -s "$out/heap.log" ] && heap=("$out/heap.log" "$start")
/usr/bin/python3 scripts/soak_report.py "$out/samples.csv" "$out/soak.png" "$minutes" "${heap[@]}" ||
  status=1
exit $status
