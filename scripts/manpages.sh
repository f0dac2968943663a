#!/usr/bin/env bash
# Makes man pages for panelctl and panelsim from their own help: the
# overview and every subcommand's arguments.
#   scripts/manpages.sh [BUILD_DIR] [OUT_DIR]    (defaults: build, out/man)
#   man -l out/man/panelctl.1
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
OUT=${2:-out/man}
mkdir -p "$OUT"
for tool in panelctl panelsim; do
  exe="$BUILD/$tool"
  # Backslashes and leading dots would be read as troff requests.
  esc() { sed -e 's/\\/\\e/g' -e 's/^\./\\\&./'; }
  {
    echo ".TH ${tool^^} 1 \"$(date +%Y-%m-%d)\" paneld"
    echo ".SH NAME"
    echo "$tool \\- $("$exe" --help | head -1 | sed 's/^[a-z]*: //' | esc)"
    echo ".SH SYNOPSIS"
    echo ".nf"
    "$exe" --help | sed -n 's/^Usage: //p' | esc
    echo ".fi"
    echo ".SH OVERVIEW"
    echo ".nf"
    "$exe" --help | tail -n +3 | esc
    echo ".fi"
    echo ".SH SUBCOMMANDS"
    for sub in $("$exe" --help | sed -n '/^Subcommands:/,$s/^  \([a-z][a-z0-9-]*\).*/\1/p'); do
      echo ".SS $sub"
      echo ".nf"
      "$exe" help "$sub" | grep -v "shows a subcommand's arguments" | esc
      echo ".fi"
    done
  } >"$OUT/$tool.1"
  echo "man page: $OUT/$tool.1"
done
