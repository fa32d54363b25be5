#!/usr/bin/env bash
# Configures a build tree for the MinGW-w64 cross build:
#   scripts/configure.sh build-dir
# The toolchain is read when a tree is first configured; given again to a
# configured tree, CMake warns that it went unused.
set -eu
cd "$(dirname "$0")/.."
build=$1
toolchain=()
[ -f "$build/CMakeCache.txt" ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)
cmake -S . -B "$build" "${toolchain[@]}" >/dev/null
