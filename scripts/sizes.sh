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
# mappings (below 4 GiB in the qemu process), split into anonymous memory
# (heap, stacks, static buffers) and file mappings (in the simulation the
# planes and the reserved memory are shared files; on the board they are
# device memory).
rss() {
  /usr/bin/python3 - "$1" <<'EOF'
import sys
anon = files = 0
start = None
for line in open(f"/proc/{sys.argv[1]}/smaps"):
    f = line.split()
    if "-" in f[0] and not f[0].endswith(":"):
        start = int(f[0].split("-")[0], 16)
        named = len(f) >= 6 and f[5].startswith("/")
    elif f[0] == "Rss:" and start is not None and start < 1 << 32:
        if named:
            files += int(f[1])
        else:
            anon += int(f[1])
print(f"{(anon + files) // 1024} MiB ({anon // 1024} MiB anonymous, {files // 1024} MiB file-mapped)")
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
build-mipsel/panelctl --device "$root/host/ttyGS0" stream "$root/usr/data/boot.h264" >/dev/null 2>&1 &
streamer=$!
peak=""
for _ in $(seq 20); do
  sleep 1
  kill -0 "$streamer" 2>/dev/null || break
  peak=$(rss "$daemon")
done
wait "$streamer" || true
echo "resident while streaming:    ${peak:-$(rss "$daemon")}"
