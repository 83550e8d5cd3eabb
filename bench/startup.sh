#!/usr/bin/env bash
# Whole runs of the example gauge, side by side with hyperfine: the program
# as built (linked statically), the same program linked to the shared C++
# runtime, and the static one with --solver exact and with --report.
#
#   bench/startup.sh STATIC_RATING DYNAMIC_RATING OUT_DIR
#
# Prints hyperfine's table and writes OUT_DIR/startup.json.
set -euo pipefail

static=$1
dynamic=$2
out=$3
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$root/examples/." "$work"
cd "$work"

printf '\nWhole runs of the example gauge (126 gaugings, 3 intervals of cubics, Nout 100)\n'
hyperfine -N --warmup 20 --runs 300 --export-json "$out/startup.json" \
    --command-name static "$static" \
    --command-name dynamic "$dynamic" \
    --command-name "static --solver exact" "$static --solver exact" \
    --command-name "static --report" "$static --report"
