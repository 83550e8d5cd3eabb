#!/bin/sh
# Installs what a make target needs, and nothing it does not.
#
#   scripts/install-deps.sh TARGET...   TARGET: build, plot, test, bench, fuzz
#
# Each need is looked for directly (a command on PATH, or a header the
# compiler finds), so this works without dpkg as long as the tools are there.
# What is missing is installed with apt-get when run as root; otherwise the
# Debian packages to install are named and the script fails.
set -eu

usage="usage: scripts/install-deps.sh build|plot|test|bench|fuzz..."
[ $# -gt 0 ] || { echo "$usage" >&2; exit 2; }

# Needs of each target, one per line: "command NAME PACKAGE" or
# "header FILE PACKAGE [INCLUDE-DIR]".
needs_build='command cmake cmake
command make make
command c++ g++
header CLI/CLI.hpp libcli11-dev
header boost/math/distributions/students_t.hpp libboost-math-dev
header nlohmann/json.hpp nlohmann-json3-dev
header Eigen/Dense libeigen3-dev /usr/include/eigen3
header csv.h libcsv-dev
header date/date.h libhowardhinnant-date-dev'
needs_plot='command gnuplot gnuplot-nox'
needs_test="$needs_build
$needs_plot
header gtest/gtest.h libgtest-dev"
needs_bench="$needs_build
header benchmark/benchmark.h libbenchmark-dev
command hyperfine hyperfine"
needs_fuzz="$needs_build
command afl-fuzz afl++
command afl-clang-fast++ afl++"

needs=''
for target in "$@"; do
    case "$target" in
        build) needs="$needs
$needs_build" ;;
        plot) needs="$needs
$needs_plot" ;;
        test) needs="$needs
$needs_test" ;;
        bench) needs="$needs
$needs_bench" ;;
        fuzz) needs="$needs
$needs_fuzz" ;;
        *) echo "install-deps: unknown target '$target'" >&2; echo "$usage" >&2; exit 2 ;;
    esac
done

compiler=$(command -v c++ || command -v g++ || true)

has_header() {
    [ -n "$compiler" ] || return 1
    include=${2:+-I$2}
    printf '#include <%s>\n' "$1" | "$compiler" -x c++ -std=c++17 -fsyntax-only $include - >/dev/null 2>&1
}

missing=$(printf '%s\n' "$needs" | while read -r kind name package dir; do
    case "$kind" in
        command) command -v "$name" >/dev/null 2>&1 || echo "$package" ;;
        header) has_header "$name" "${dir:-}" || echo "$package" ;;
    esac
done | sort -u | tr '\n' ' ')
missing=${missing% }

[ -n "$missing" ] || exit 0

if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null 2>&1; then
    echo "Missing for '$*': Debian packages $missing" >&2
    echo "Install them with: sudo apt-get install $missing" >&2
    exit 1
fi

echo "Installing Debian packages: $missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q >/dev/null || true
# shellcheck disable=SC2086
apt-get install -y -q --no-install-recommends $missing
