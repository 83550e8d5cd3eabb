#!/usr/bin/env bash
# Fuzzes every input file of the program with AFL++ on the sanitized harness.
#
#   fuzz/run.sh SECONDS
#
# Builds build/fuzz with afl-clang-fast++ (address and undefined-behaviour
# sanitizers, no contraction into fused multiply-adds), then fuzzes the four
# files control, settings, data and knots, and the gauging files that the
# reader of CSV and NWIS files takes (with a harness of its own), two at a
# time (the machine has two cores) in three rounds, each for SECONDS / 3, so
# that the whole takes about SECONDS.
# Each file's campaign goes on from its earlier queue in build/fuzz/out (or
# FUZZ_OUT) when there is one, else from the seeds in fuzz/seeds. Fails when any campaign
# found a crash (a sanitizer report or a signal); the inputs are listed, to
# be fixed and copied into tests/data/fuzz-regressions/<file>/.
set -euo pipefail

seconds=${1:-600}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
out=${FUZZ_OUT:-$build/out}
scratch=$out.scratch
jobs=${JOBS:-2}

for tool in afl-fuzz afl-clang-fast++; do
    if ! command -v "$tool" >/dev/null; then
        echo "fuzz: $tool is missing (Debian package afl++; make deps installs it)" >&2
        exit 1
    fi
done

CC=afl-clang-fast CXX=afl-clang-fast++ AFL_QUIET=1 \
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRATING_SANITIZE=ON -DRATING_TESTS=OFF -DRATING_FUZZ=ON >/dev/null
AFL_QUIET=1 cmake --build "$build" -j"$jobs" --target fuzz_harness fuzz_harness_gaugings >/dev/null

kinds=(control settings data knots gaugings)
per=$(( seconds / 3 ))
if [ "$per" -lt 10 ]; then per=10; fi

rm -rf "$scratch"
mkdir -p "$out" "$scratch"

export AFL_SKIP_CPUFREQ=1 AFL_NO_AFFINITY=1 AFL_NO_UI=1 AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1
export AFL_SKIP_CRASHES=1
export ASAN_OPTIONS=abort_on_error=1:symbolize=0:detect_leaks=0:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:symbolize=0
export FUZZ_SCRATCH=$scratch

campaign() {
    local kind=$1
    local dir=$out/$kind
    local input=$root/fuzz/seeds/$kind
    # Resume from the earlier queue: "-i -" continues a campaign in place.
    if [ -d "$dir/default/queue" ]; then
        input=-
    fi
    local target=("$build/fuzz/fuzz_harness" "$kind")
    if [ "$kind" = gaugings ]; then
        target=("$build/fuzz/fuzz_harness_gaugings")
    fi
    mkdir -p "$dir"
    afl-fuzz -i "$input" -o "$dir" -x "$root/fuzz/rating.dict" -m none -t 3000 -V "$per" \
        -- "${target[@]}" @@ >"$dir/afl.log" 2>&1 || {
        echo "fuzz: afl-fuzz failed on $kind, see $dir/afl.log:" >&2
        tail -20 "$dir/afl.log" >&2
        return 1
    }
}

status=0
for ((k = 0; k < ${#kinds[@]}; k += 2)); do
    pids=()
    for kind in "${kinds[@]:k:2}"; do
        campaign "$kind" &
        pids+=($!)
    done
    for p in "${pids[@]}"; do
        wait "$p" || status=1
    done
done
rm -rf "$scratch"

crashes=0
printf '\n%-9s %10s %9s %8s %6s %7s\n' file execs "execs/s" paths hangs crashes
for kind in "${kinds[@]}"; do
    stats=$out/$kind/default/fuzzer_stats
    value() { sed -n "s/^$1 *: *//p" "$stats" 2>/dev/null | head -1; }
    found=$(find "$out/$kind/default/crashes" -type f ! -name README.txt 2>/dev/null | wc -l)
    hangs=$(find "$out/$kind/default/hangs" -type f 2>/dev/null | wc -l)
    printf '%-9s %10s %9s %8s %6s %7s\n' "$kind" "$(value execs_done)" "$(value execs_per_sec)" \
        "$(value corpus_count)" "$hangs" "$found"
    crashes=$((crashes + found))
    if [ "$found" -gt 0 ]; then
        find "$out/$kind/default/crashes" -type f ! -name README.txt | sed 's/^/  crash: /'
    fi
done

if [ "$status" -ne 0 ]; then
    exit 1
fi
if [ "$crashes" -gt 0 ]; then
    echo "fuzz: $crashes crashing inputs found" >&2
    exit 1
fi
echo "fuzz: no crash found"
