#!/usr/bin/env bash
# Builds a Debian 12 mipsel sysroot for the board's cross build and for
# running the cross-built programs under qemu-mipsel.
#
#   scripts/sysroot.sh            sysroot in build-sysroot/mipsel (kept; re-runs are no-ops)
#   SYSROOT_DIR=DIR scripts/sysroot.sh
#
# The .deb files are fetched with apt-get download through a private apt
# configuration and state (build-sysroot/apt) and unpacked with dpkg -x.
# Nothing is installed on this machine and its dpkg architectures are left
# alone: a multiarch installation would refuse whenever the machine's amd64
# packages are a point release ahead of the mipsel ones.
# Prints the sysroot path on the last line of standard output. On any failure
# it prints one line starting with "sysroot:" on standard error and exits 1.
set -euo pipefail
cd "$(dirname "$0")/.."

TOP=${SYSROOT_DIR:-$PWD/build-sysroot}
ROOT=$TOP/mipsel
APT=$TOP/apt
DEBS=$TOP/debs
MIRROR=${SYSROOT_MIRROR:-http://deb.debian.org/debian}
SECURITY=${SYSROOT_SECURITY_MIRROR:-http://deb.debian.org/debian-security}

# The -dev packages the build needs; their runtime closure comes with them.
PACKAGES=(
  libc6-dev libstdc++-12-dev
  libmbedtls-dev
  libturbojpeg0-dev libjpeg62-turbo-dev
  libyuv-dev
  libavcodec-dev libavutil-dev libavformat-dev libswscale-dev libx264-dev
  libpng-dev libfreetype-dev
  libgtest-dev libgmock-dev
  libcli11-dev nlohmann-json3-dev libcpp-httplib-dev
)

fail() {
  echo "sysroot: $*" >&2
  exit 1
}

# Bump when the way the tree is made changes, so that old trees are rebuilt.
LAYOUT=2
want="layout=$LAYOUT mirror=$MIRROR packages=${PACKAGES[*]}"
if [ -f "$ROOT/.complete" ] && [ "$(cat "$ROOT/.complete")" = "$want" ]; then
  echo "$ROOT"
  exit 0
fi

for tool in apt-get dpkg-deb; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/deps.sh installs it)"
done

mkdir -p "$APT/etc/apt.conf.d" "$APT/etc/preferences.d" "$APT/etc/sources.list.d" \
  "$APT/state/lists/partial" "$APT/cache/archives/partial" "$DEBS"
: >"$APT/state/status"  # an empty system: apt resolves the whole closure
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
[ -f "$keyring" ] || fail "$keyring is missing (package debian-archive-keyring)"
cat >"$APT/etc/sources.list" <<EOF
deb [arch=mipsel signed-by=$keyring] $MIRROR bookworm main
deb [arch=mipsel signed-by=$keyring] $MIRROR bookworm-updates main
deb [arch=mipsel signed-by=$keyring] $SECURITY bookworm-security main
EOF
cat >"$APT/apt.conf" <<EOF
APT::Architecture "mipsel";
APT::Architectures { "mipsel"; };
APT::Install-Recommends "false";
APT::Install-Suggests "false";
Dir::Etc::SourceList "$APT/etc/sources.list";
Dir::Etc::SourceParts "$APT/etc/sources.list.d";
Dir::Etc::Preferences "$APT/etc/preferences";
Dir::Etc::PreferencesParts "$APT/etc/preferences.d";
Dir::State "$APT/state";
Dir::State::status "$APT/state/status";
Dir::Cache "$APT/cache";
Dir::Cache::pkgcache "";
Dir::Cache::srcpkgcache "";
Debug::NoLocking "true";
EOF
export APT_CONFIG=$APT/apt.conf

echo "sysroot: package lists for mipsel"
# apt-get update only warns when an index cannot be fetched; the main
# suite's package list must be there.
if ! apt-get -q update >"$APT/update.log" 2>&1 ||
  ! ls "$APT/state/lists/"*_dists_bookworm_main_binary-mipsel_Packages* >/dev/null 2>&1; then
  fail "no mipsel package list from $MIRROR (no network to the package registry?): $(grep -m1 -E '^(E|W):' "$APT/update.log" || tail -n1 "$APT/update.log")"
fi

# The closure as apt resolves it against the empty private state. Only what
# the listed packages depend on is taken (no recommends), each at its
# candidate version.
if ! apt-get -s -qq install "${PACKAGES[@]}" >"$APT/plan" 2>"$APT/plan.err"; then
  fail "cannot resolve the packages: $(grep -m1 -E '^E:' "$APT/plan.err" || head -n1 "$APT/plan.err")"
fi
mapfile -t closure < <(awk '$1 == "Inst" { v = $3; gsub(/[()]/, "", v); print $2 "=" v }' "$APT/plan")
[ ${#closure[@]} -gt 0 ] || fail "apt planned no packages"

missing=()
for pv in "${closure[@]}"; do
  name=${pv%%=*}
  ver=${pv#*=}
  ls "$DEBS/${name}_${ver//:/%3a}_"*.deb >/dev/null 2>&1 || missing+=("$pv")
done
echo "sysroot: ${#closure[@]} packages, ${#missing[@]} to download"
if [ ${#missing[@]} -gt 0 ]; then
  (cd "$DEBS" && apt-get -qq download "${missing[@]}" >"$APT/download.log" 2>&1) ||
    fail "apt-get download failed: $(grep -m1 -E '^E:' "$APT/download.log" || tail -n1 "$APT/download.log")"
fi

# A fresh tree from exactly the planned files, so that a changed package
# list leaves nothing stale behind.
rm -rf "$ROOT.tmp"
mkdir -p "$ROOT.tmp"
for pv in "${closure[@]}"; do
  name=${pv%%=*}
  ver=${pv#*=}
  deb=$(ls "$DEBS/${name}_${ver//:/%3a}_"*.deb 2>/dev/null | head -n1)
  [ -n "$deb" ] || fail "$name $ver was not downloaded"
  dpkg-deb -x "$deb" "$ROOT.tmp" || fail "cannot unpack $deb"
done

# Absolute symlinks (libfoo.so -> /lib/mipsel-linux-gnu/libfoo.so.1) point
# into this machine's root; make them relative so the cross linker and qemu
# find the sysroot's own files.
while IFS= read -r -d '' link; do
  target=$(readlink "$link")
  case "$target" in
    /*)
      rel=$(realpath -m --relative-to="$(dirname "$link")" "$ROOT.tmp$target")
      ln -sfn "$rel" "$link"
      ;;
  esac
done < <(find "$ROOT.tmp" -type l -print0)

# The dynamic loader is looked up as /lib/ld.so.1 by every mipsel program.
[ -e "$ROOT.tmp/lib/ld.so.1" ] || fail "the unpacked tree has no /lib/ld.so.1"

rm -rf "$ROOT"
mv "$ROOT.tmp" "$ROOT"
echo "$want" >"$ROOT/.complete"
echo "$ROOT"
