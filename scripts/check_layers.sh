#!/usr/bin/env bash
# Fails on an include that points up the daemon's layer order:
#   platform -> common -> protocol -> storage -> display -> image -> video
#   -> standby -> supervision -> link
# A folder may include its own layer and any layer before it. Tools, tests,
# benchmarks and fuzz targets sit above all of them and are not checked.
set -euo pipefail
cd "$(dirname "$0")/.."
layers=(platform common protocol storage display image video standby supervision link)
# Known exceptions, "file -> header": the platform records carry SharedWord
# fields that the daemon's threads read without a lock.
allowed=("platform/display.h -> common/word.h")

declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done

bad=0
while IFS= read -r -d '' file; do
  from=${file%%/*}
  while IFS= read -r header; do
    to=${header%%/*}
    [ -n "${rank[$to]+x}" ] || continue
    if [ "${rank[$to]}" -gt "${rank[$from]}" ]; then
      pair="$file -> $header"
      skip=0
      for a in "${allowed[@]}"; do [ "$a" = "$pair" ] && skip=1; done
      if [ $skip = 0 ]; then
        echo "upward include: $pair ($from is below $to)"
        bad=1
      fi
    fi
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find "${layers[@]}" -type f \( -name '*.h' -o -name '*.cpp' \) -print0 2>/dev/null)
if [ $bad = 0 ]; then echo "layers: no upward include"; fi
exit $bad
