#!/usr/bin/env bash
# The fit that runs into Powell's iteration limit: 999 observations in 98
# automatic intervals (quadratics and cubics; straight lines converge). The
# limit ends the process through kverror, so it is timed as a separate run of
# the real program on a synthetic gauge, once for each degree.
#
#   bench/limit.sh BUILD   (BUILD holds rating and bench/make_gauge)
#
# Prints a table and writes BUILD/limit.json.
set -euo pipefail

build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
json=$build/limit.json

printf '\nSeparate runs of the program: N 999, J 98 (degrees 2 and 3 end at the iteration limit)\n'
printf '%-3s %8s %7s  %s\n' M "wall_s" status "standard error, line 2"
echo '[' >"$json"
sep=''
for m in 1 2 3; do
    dir=$work/m$m
    mkdir -p "$dir"
    "$build/bench/make_gauge" "$dir" 999 98 "$m" 100
    start=$EPOCHREALTIME
    set +e
    (cd "$dir" && "$build/rating" 0<&- >stdout 2>stderr)
    status=$?
    set -e
    end=$EPOCHREALTIME
    wall=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
    message=$(sed -n 2p "$dir/stderr")
    printf '%-3s %8.2f %7s  %s\n' "$m" "$wall" "$status" "$message"
    printf '%s  {"N": 999, "J": 98, "M": %d, "wall_seconds": %.3f, "exit_status": %d, "message": "%s"}' \
        "$sep" "$m" "$wall" "$status" "$message" >>"$json"
    sep=$',\n'
done
printf '\n]\n' >>"$json"
