#!/usr/bin/env bash
# Times `rating fit` on one station of 10,000 gaugings with --intervals 3
# (the whole command: reading, fitting and writing its files) and counts its
# page faults and peak memory (bench/run_usage), and times `rating
# batch` on a synthetic network of 10,000 stations of 100 gaugings (1,000,000
# rows) with --intervals auto, summary only and with every station's files,
# on 1 and 2 threads, and on the 60 USGS stations of examples/.
# Usage: bench/batch.sh BUILD_DIR
set -euo pipefail
build=$1
rating=$build/rating
work=$build/batch-bench
rm -rf "$work" && mkdir -p "$work"
"$build/bench/bench_batch" "$work/network.csv" 10000 100
usgs="$(cd "$(dirname "$0")/.." && pwd)/examples/usgs-field-measurements.csv"

run() {  # label, then the batch arguments
    local label=$1; shift
    rm -rf "$work/out"
    # The files of the run before are written back first: on some machines
    # that write-back would otherwise slow this run down twofold.
    sync
    local start end
    start=$(date +%s.%N)
    "$rating" batch "$@" --out "$work/out" > "$work/console.txt" 2>&1 || true
    end=$(date +%s.%N)
    local line
    line=$(grep -E 'stations, [0-9]+ failed' "$work/console.txt" | tail -1)
    printf '%-44s %8.3f s   %s\n' "$label" "$(echo "$end - $start" | bc)" "$line"
}

"$build/bench/bench_batch" "$work/one.csv" 1 10000
# The 33 MB network just made is written back first, not while the fit is timed.
sync
# Into a new folder (as a station's first fit), then over the files of the
# run before (whose removal the file system pays for in the timed run).
hyperfine -N -w 3 -r 30 --export-json "$build/fit-10000.json" --prepare "rm -rf $work/fit-new" \
    "$rating fit $work/one.csv --intervals 3 --out $work/fit-new" \
    "$rating fit $work/one.csv --intervals 3 --out $work/fit" | grep -E 'Benchmark|Time'
"$build/bench/run_usage" "$rating" fit "$work/one.csv" --intervals 3 --out "$work/fit"
echo

echo "rating batch (wall time of the whole command; the console's own line after it)"
run "10,000 stations, summary only, 1 thread" "$work/network.csv" --summary-only --jobs 1
run "10,000 stations, summary only, 2 threads" "$work/network.csv" --summary-only --jobs 2
run "10,000 stations, with files, 1 thread" "$work/network.csv" --jobs 1
run "10,000 stations, with files, 2 threads" "$work/network.csv" --jobs 2
run "60 USGS stations, with files, 2 threads" "$usgs" --jobs 2
rm -rf "$work"
