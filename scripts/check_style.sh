#!/usr/bin/env bash
# Style checks: every C++ source of the tree is as clang-format writes it
# (.clang-format), and the daemon's own sources pass
# clang-tidy (.clang-tidy). Fails on the first difference or finding.
#   scripts/check_style.sh [BUILD_DIR]   (a configured build: compile_commands.json)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
jobs=${JOBS:-$(nproc)}

echo "-- clang-format"
git ls-files -co --exclude-standard '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "-- clang-tidy"
own='^(common|protocol|storage|display|image|video|standby|supervision|link)/'
git ls-files -co --exclude-standard '*.cpp' | grep -E "$own" |
  xargs -P "$jobs" -n 4 clang-tidy -p "$build" --quiet 2>/dev/null
