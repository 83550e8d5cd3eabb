#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the plot, the benchmarks and
# the fuzzing need.
# Only what is missing is installed; as root this uses apt-get, otherwise it names
# the packages to install and fails.
set -euo pipefail

packages=(cmake make g++ clang libgtest-dev libbenchmark-dev libeigen3-dev gnuplot-nox afl++)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
fi

echo "Installing Debian packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q >/dev/null || true
apt-get install -y -q --no-install-recommends "${missing[@]}"
