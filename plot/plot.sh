#!/bin/sh
# Plots the rating curve of the run in the current folder (the folder that holds
# Source.plt) with gnuplot and prints the path of the written PNG.
#
#   plot.sh          linear axes    -> <Folder>/<Name>.png
#   plot.sh --log    log-log axes   -> <Folder>/<Name>-log.png

usage="usage: plot.sh [--log]   (run in the folder that holds Source.plt)"
logscale=0
for arg in "$@"; do
    case "$arg" in
        --log) logscale=1 ;;
        -h|--help) echo "$usage"; exit 0 ;;
        *) echo "plot.sh: unknown argument '$arg'" >&2; echo "$usage" >&2; exit 2 ;;
    esac
done

if ! command -v gnuplot >/dev/null 2>&1; then
    echo "plot.sh: gnuplot is not installed or not on PATH (Debian: apt-get install gnuplot-nox)" >&2
    exit 127
fi
if [ ! -f Source.plt ]; then
    echo "plot.sh: no Source.plt in $(pwd); run the rating program here first" >&2
    exit 1
fi

script="$(cd "$(dirname "$0")" && pwd)/rating.gp"
png=$(gnuplot -e "logscale=$logscale" "$script") || {
    echo "plot.sh: gnuplot failed on $script" >&2
    exit 1
}
if [ ! -s "$png" ]; then
    echo "plot.sh: gnuplot wrote no image ${png:+($png)}" >&2
    exit 1
fi
echo "$png"
