#!/usr/bin/env bash
# Installs what building and testing Kelvane needs on Debian (run as root):
# the MinGW-w64 cross compiler, Wine, a virtual X display, CMake, GoogleTest,
# and Python (the release package's zip).
# Does nothing when everything is already there.
set -eu
need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(mingw-w64)
command -v wine >/dev/null || need+=(wine)
[ -e /usr/lib/wine/wine64 ] || need+=(wine64)
command -v xvfb-run >/dev/null || need+=(xvfb)
command -v xauth >/dev/null || need+=(xauth)
command -v cmake >/dev/null || need+=(cmake)
command -v script >/dev/null || need+=(bsdutils)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
command -v python3 >/dev/null || need+=(python3)
command -v git >/dev/null || need+=(git)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
