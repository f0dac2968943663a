#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the tools need.
# Idempotent: packages already present are left alone.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git
  clang libclang-rt-14-dev           # libFuzzer target and its sanitizers
  libmbedtls-dev                     # DES of the command packets
  libturbojpeg0-dev libjpeg62-turbo-dev
  libyuv-dev                         # scaling and NV12 conversion
  libavcodec-dev libavutil-dev       # H.264 decoder of the simulated board
  ffmpeg                             # independent encoder/decoder for tests, demo media
  libpng-dev libfreetype-dev
  fonts-dejavu-core fonts-dejavu-extra  # TrueType fonts copied into device roots
  libgtest-dev libgmock-dev libbenchmark-dev
  clang-format clang-tidy            # formatting and lint checks of the tree
  g++-mipsel-linux-gnu qemu-user     # the board's 32-bit MIPS build, tests under emulation
  dpkg-dev                           # dpkg -x / dpkg-deb for the mipsel sysroot
  libavformat-dev libswscale-dev libx264-dev  # panelctl play: any media, encoded on the fly
  libcli11-dev nlohmann-json3-dev    # host tools' command lines and JSON
  libcpp-httplib-dev                 # panelsim view's HTTP server
  chromium                           # the live view's browser test (headless)
  python3 python3-cryptography       # the Python host module and its tests
  python3-matplotlib                 # soak plots
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "deps: all packages present"
  exit 0
fi
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "deps: installing ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
