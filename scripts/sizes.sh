#!/usr/bin/env bash
# Measures the figures of the README's sizes table for the 32-bit MIPS build:
# the stripped size of paneld in the sim and board builds, and the daemon's
# resident memory under qemu-mipsel right after start and while it streams
# video. Needs build-mipsel/ and build-mipsel-board/ (scripts/test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
SYSROOT=${PANELD_SYSROOT:-$PWD/build-sysroot/mipsel}
tmp=$(mktemp -d)
run_pid=
cleanup() {
  [ -n "$run_pid" ] && kill "$run_pid" 2>/dev/null && wait "$run_pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

mipsel-linux-gnu-strip -o "$tmp/paneld-sim" build-mipsel/target/daemon/paneld
# No vendor libraries here: the board build's objects (the relocatable
# object of its symbol check) are linked with the vendor operations left
# open, which gives the size of the board binary's own code.
(cd build-mipsel-board && ctest -R BoardSymbols >/dev/null)
mipsel-linux-gnu-g++ --sysroot="$SYSROOT" -o "$tmp/paneld-board" build-mipsel-board/paneld_board.o \
  -pthread -lpng16 -lfreetype -lmbedcrypto -latomic -Wl,--unresolved-symbols=ignore-all
mipsel-linux-gnu-strip "$tmp/paneld-board"
echo "stripped paneld, sim build:   $(stat -c %s "$tmp/paneld-sim") bytes"
echo "stripped paneld, board build: $(stat -c %s "$tmp/paneld-board") bytes"

# Resident memory of the emulated daemon: the pages of the guest's own
# mappings (below 4 GiB in the qemu process), in three kinds: anonymous
# memory (heap, stacks, static buffers), the simulated panel planes and
# reserved memory (shared files under ROOT/sim/; device memory on the
# board), and the mapped program and libraries.
rss() {
  /usr/bin/python3 - "$1" <<'EOF'
import sys
kinds = {"anon": 0, "sim": 0, "code": 0}
kind = None
for line in open(f"/proc/{sys.argv[1]}/smaps"):
    f = line.split()
    if "-" in f[0] and not f[0].endswith(":"):
        start = int(f[0].split("-")[0], 16)
        path = f[5] if len(f) >= 6 else ""
        kind = None if start >= 1 << 32 else (
            "sim" if "/sim/" in path else "code" if path.startswith("/") else "anon")
    elif f[0] == "Rss:" and kind:
        kinds[kind] += int(f[1])
mib = lambda k: f"{k / 1024:.1f}"
print(f"{mib(sum(kinds.values()))} MiB: {mib(kinds['anon'])} anonymous, "
      f"{mib(kinds['sim'])} planes and reserved memory, {mib(kinds['code'])} program and libraries")
EOF
}

root=$tmp/root
build-mipsel/panelsim init "$root" >/dev/null
build-mipsel/panelsim run "$root" >"$tmp/run.log" 2>&1 &
run_pid=$!
for _ in $(seq 200); do [ -e "$root/host/ttyGS0" ] && break; sleep 0.1; done
sleep 5
daemon=$(pgrep -f "target/daemon/paneld" -P "$(pgrep -P "$run_pid" | head -n1)" | head -n1 || true)
[ -n "$daemon" ] || daemon=$(pgrep -f "target/daemon/paneld" -n)
echo "resident after start:        $(rss "$daemon")"
# A fresh device starts in factory test mode with the offline screen, which
# refuses video: the first command ends test mode, standby-stop the screen.
ctl() { build-mipsel/panelctl --device "$root/host/ttyGS0" "$@"; }
for _ in $(seq 20); do
  ctl standby-stop | grep -q "offline: not running" && break
  sleep 0.5
done
# About ten seconds of the boot video, streamed by the host tool; the
# largest figure seen while it plays.
for _ in $(seq 10); do cat "$root/usr/data/boot.h264"; done >"$tmp/long.h264"
ctl stream "$tmp/long.h264" >"$tmp/stream.log" 2>&1 &
streamer=$!
peak=0
peak_text=""
while kill -0 "$streamer" 2>/dev/null; do
  text=$(rss "$daemon")
  total=${text%% MiB*}
  if awk "BEGIN { exit !($total > $peak) }"; then peak=$total peak_text=$text; fi
  sleep 0.5
done
wait "$streamer" || true
echo "resident while streaming:    $peak_text ($(tail -n1 "$tmp/stream.log"))"
