#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine.
# Run as root on Debian; installs what is missing first.
#   scripts/test.sh [build-dir]     (build/ unless given)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
scripts/install-deps.sh
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
# A Wine server left from a run without a display cannot create windows for
# later programs; start from a clean one.
wineserver -k 2>/dev/null || true
scripts/configure.sh "$build"
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure
