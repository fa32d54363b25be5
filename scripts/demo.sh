#!/usr/bin/env bash
# Builds everything and runs the demo: the stand-in host loads kelvane.dll and
# times a few commands with KV. Run as root on Debian; installs what is missing.
# The host runs in a pseudo terminal (so KV has a console for its run headers
# and title) on a virtual X display.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
cmake -S . -B build -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
demo=$(winepath -w "$PWD/demo/demo.btm" 2>/dev/null)
run="wine build/bin/kvhost.exe '$demo'"
if [ -n "${DISPLAY:-}" ]; then
  script -qec "$run" /dev/null
else
  xvfb-run -a script -qec "$run" /dev/null
fi
