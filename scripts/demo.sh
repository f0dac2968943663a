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
VIEW=
trap 'kill $RUN $VIEW 2>/dev/null || true; wait $RUN $VIEW 2>/dev/null || true' EXIT
# The live view of the panel in a browser, open while the demo runs.
if [ "${DEMO_VIEW:-1}" != 0 ]; then
  PORT=${DEMO_VIEW_PORT:-8470}
  ./build/panelsim view "$ROOT" --port "$PORT" >"$OUT/view.log" 2>&1 &
  VIEW=$!
  sleep 0.5
  if kill -0 "$VIEW" 2>/dev/null; then
    echo "live view: http://127.0.0.1:$PORT/  (DEMO_VIEW=0 skips it)"
  else
    cat "$OUT/view.log"; VIEW=
  fi
fi
for _ in $(seq 300); do [ -e "$ROOT/host/ttyGS0" ] && break; sleep 0.1; done

ctl() { ./build/panelctl --device "$ROOT/host/ttyGS0" --timeout 10000 "$@"; }
snap() {
  ./build/panelsim snapshot "$ROOT" "$OUT/$1.png" ${2:+--layer $2} && echo "   snapshot: $OUT/$1.png"
}
step() { echo; echo "== $*"; }
# The panel becomes the host's: standby screens and local playback stop.
take_over() { ctl takeover --wait 30000; }

step "boot: logo, boot video and the offline screen with live readings"
./build/panelsim mcu "$ROOT" temp=31 pump=1820 suspend=0
sleep 4
snap 01-offline-screen

step "the host arrives and takes the panel"
ctl identity
ctl storage || true
take_over

step "file transfer"
echo "hello from the host" > "$OUT/hello.txt"
ctl put "$OUT/hello.txt" /usr/data/hello.txt
ctl ls /usr/data
ctl size /usr/data/hello.txt

step "a JPEG frame from the host"
ffmpeg -loglevel error -y -f lavfi -i "testsrc2=size=1080x2288" -frames:v 1 "$OUT/frame.jpg"
ctl jpeg "$OUT/frame.jpg"
snap 02-jpeg-frame

step "H.264 video streamed by the host, with a PNG overlay"
ffmpeg -loglevel error -y -f lavfi -i "testsrc2=size=1080x2288:rate=30" -t 6 \
  -c:v libx264 -profile:v baseline -pix_fmt yuv420p -x264-params slices=1 "$OUT/clip.h264"
ffmpeg -loglevel error -y -f lavfi -i "color=c=0x2060ffc0:size=400x200,format=rgba" \
  -frames:v 1 "$OUT/badge.png"
ctl stream "$OUT/clip.h264" &
STREAM=$!
sleep 2
ctl png "$OUT/badge.png" 340 100
sleep 1.5
snap 03-video-with-overlay
snap 03-video-overlay-layer overlay
wait $STREAM
ctl frame
ctl overlay-clear

step "brightness"
ctl brightness 80
./build/panelsim snapshot "$ROOT" --state

step "the host leaves with the clock enabled: the clock takes over"
ctl warn 0
ctl config 80 0 0 0 0 1
./build/panelsim usb "$ROOT" unplug
sleep 13
snap 04-clock

step "the host comes back, then leaves with warnings enabled: the warning"
./build/panelsim usb "$ROOT" plug
sleep 2
ctl warn 1
take_over
./build/panelsim usb "$ROOT" unplug
sleep 13
snap 05-usb-warning

echo
echo "Daemon log: $OUT/paneld.log; snapshots: $OUT/*.png"
