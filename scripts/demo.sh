#!/usr/bin/env bash
# The main job: a simulated device playing real media, as a person would
# try it. Builds everything, makes a device root, runs the daemon on ptys
# with `panelsim run`, drives it with `panelctl` like a host application, and
# leaves snapshots of the panel in out/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target paneld panelctl panelsim

OUT=out/demo
ROOT=$PWD/out/demo-root
rm -rf "$OUT" "$ROOT"
mkdir -p "$OUT"
./build/panelsim init "$ROOT"
# The device has been used before: not in factory test mode.
printf '\x3c\x00\x00\x00\x00\x01\x00\x01/media/offline_video.h264' > "$ROOT/usr/data/app.cfg"
truncate -s 136 "$ROOT/usr/data/app.cfg"

./build/panelsim run "$ROOT" >"$OUT/paneld.log" 2>&1 &
RUN=$!
trap 'kill $RUN 2>/dev/null || true; wait $RUN 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$ROOT/host/ttyGS0" ] && break; sleep 0.1; done

ctl() { ./build/panelctl --device "$ROOT/host/ttyGS0" "$@"; }
have() { ./build/panelctl --help 2>&1 | grep -q "^  $1 "; }
snap() {
  ./build/panelsim snapshot "$ROOT" "$OUT/$1.png" ${2:+--layer $2} 2>/dev/null &&
    echo "   snapshot: $OUT/$1.png"
}
step() { echo; echo "== $*"; }

step "boot: logo and offline screen"
sleep 3
snap 01-boot

step "the host arrives"
ctl identity
ctl storage || true
have standby-stop && ctl standby-stop
sleep 2

step "file transfer"
echo "hello from the host" > "$OUT/hello.txt"
ctl put "$OUT/hello.txt" /usr/data/hello.txt
ctl ls /usr/data
ctl size /usr/data/hello.txt

if have jpeg; then
  step "a JPEG frame from the host"
  ffmpeg -loglevel error -y -f lavfi -i "testsrc2=size=1080x2288" -frames:v 1 "$OUT/frame.jpg"
  ctl jpeg "$OUT/frame.jpg"
  snap 02-jpeg
fi

if have stream; then
  step "H.264 video streamed by the host"
  ffmpeg -loglevel error -y -f lavfi -i "testsrc2=size=1080x2288:rate=30" -t 4 \
    -c:v libx264 -profile:v baseline -pix_fmt yuv420p -x264-params slices=1 "$OUT/clip.h264"
  ctl stream "$OUT/clip.h264" &
  STREAM=$!
  if have png; then
    sleep 1
    ffmpeg -loglevel error -y -f lavfi -i "color=c=0x2060ffc0:size=400x200,format=rgba" \
      -frames:v 1 "$OUT/badge.png"
    ctl png "$OUT/badge.png" 340 100 || true
  fi
  sleep 1.5
  snap 03-video
  wait $STREAM || true
fi

if have brightness; then
  step "brightness and rotation"
  ctl brightness 80
  ctl rotation 0
fi

step "the host leaves"
./build/panelsim usb "$ROOT" unplug
sleep 12
snap 04-host-gone

echo
echo "Daemon log: $OUT/paneld.log; snapshots: $OUT/*.png"
