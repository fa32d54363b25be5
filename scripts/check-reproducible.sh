#!/usr/bin/env bash
# Checks that the release package is reproducible: clones the current commit
# (as it is when the check starts) twice, at two different paths, runs
# scripts/package.sh in each and compares the zips byte for byte. Prints both
# SHA-256 sums; exit code 0 when they are the same. Takes two full builds and
# test runs (several minutes).
#   scripts/check-reproducible.sh [work-dir]   (a new temporary folder unless given)
# A temporary folder of its own (two clones with their builds, some 50 MB) is
# removed when the zips are the same; after a failure it is kept, with the
# logs and both zips, and its path is printed.
set -eu
source=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$source" rev-parse HEAD)
if [ -n "${1:-}" ]; then
  work=$1
else
  work=$(mktemp -d)
  trap 'status=$?; if [ $status = 0 ]; then rm -rf "$work"; else echo "kept for a look: $work"; fi' EXIT
fi
first=$work/a/kelvane
second=$work/other/place/kelvane
rm -rf "$first" "$second"
for clone in "$first" "$second"; do
  mkdir -p "$(dirname "$clone")"
  git clone -q "$source" "$clone"
  git -C "$clone" checkout -q "$commit"
  "$clone/scripts/package.sh" >"$clone.log" 2>&1 || { echo "package.sh failed in $clone; see $clone.log"; exit 1; }
done
zip=$(cd "$first/dist" && ls kelvane-*-win-x64.zip)
sha256sum "$first/dist/$zip" "$second/dist/$zip"
if cmp -s "$first/dist/$zip" "$second/dist/$zip"; then
  echo "reproducible: both clones give the same $zip"
else
  echo "NOT reproducible: the two clones give different zips"
  exit 1
fi
