#!/usr/bin/env bash
# Builds the release from this checkout, runs the whole test suite on it and
# makes the package in dist/:
#   kelvane-<version>-win-x64.zip        for users: kelvane.dll (stripped),
#                                        README.txt, LICENSE.txt, CHANGELOG.txt
#   kelvane-<version>-win-x64.debug.dll  the DLL with its debug information
#   SHA256SUMS                           for both
# Run as root on Debian; installs what is missing first. The same commit gives
# the same zip wherever it is checked out (scripts/check-reproducible.sh).
set -eu
cd "$(dirname "$0")/.."
# A fresh build of its own, so that nothing development left in build/
# (another build type, stale objects) can end up in the package.
rm -rf build-release
scripts/test.sh build-release
cmake --build build-release --target dist >/dev/null
echo
echo "dist/:"
cat dist/SHA256SUMS
