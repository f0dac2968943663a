#!/usr/bin/env bash
# Style checks: every C++ source of the tree is as clang-format writes it
# (.clang-format), and the daemon's own sources, the simulated platform and
# the tools pass clang-tidy (.clang-tidy). Fails on the first difference or
# finding.
#   scripts/check_style.sh
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}

echo "-- clang-format"
git ls-files -co --exclude-standard '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "-- clang-tidy"
# clang-tidy needs one compile command per source, which a build of the tools
# from unity files does not have: the commands come from a tree that is only
# configured, never built (TIDY_DB names it).
build=${TIDY_DB:-build-tidy}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPANELD_TOOLS_UNITY=OFF >/dev/null
# platform/board is built for the board only: no host compile command.
own='^(common|protocol|storage|display|image|video|standby|supervision|link|platform/sim|tools)/'
mapfile -t files < <(git ls-files -co --exclude-standard '*.cpp' | grep -E "$own")
# A source found clean before is skipped while nothing its verdict depends on
# has changed (scripts/tidy_keys.py): the tools' command-line and JSON
# headers make a full run take minutes on two cores.
cache=${TIDY_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/paneld-tidy}
mkdir -p "$cache"
declare -A key
while read -r k f; do key[$f]=$k; done < <(/usr/bin/python3 scripts/tidy_keys.py "$build" "$jobs" "${files[@]}")
todo=()
for f in "${files[@]}"; do
  k=${key[$f]:-}
  if [ -n "$k" ] && [ -e "$cache/$k" ]; then continue; fi
  todo+=("$f")
done
echo "   ${#todo[@]} of ${#files[@]} sources to check"
printf '%s\n' "${todo[@]}" | xargs -r -P "$jobs" -n 1 clang-tidy -p "$build" --quiet 2>/dev/null
for f in "${todo[@]}"; do
  k=${key[$f]:-}
  if [ -n "$k" ]; then touch "$cache/$k"; fi
done
