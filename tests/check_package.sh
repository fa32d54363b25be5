#!/usr/bin/env bash
# Checks the release package made from the built DLL by scripts/make-dist.sh:
# the zip holds exactly the stripped DLL, the read-me, the licence and the
# change log (never a TakeCmd.dll); the DLL in it is small, has no debug
# sections, keeps the plug-in's boundary and version, and neither it nor the
# debug DLL beside the zip names the source or build folder; the texts have
# Windows line ends; the change log begins with the version the zip holds and
# leaves out the part about the source tree; the checksums match; making it
# again gives the same zip.
#   check_package.sh kelvane.dll 0.99.1.0 outdir source-dir build-dir
set -u
dll=$1 version=$2 out=$3 source=$4 build=$5
here=$(cd "$(dirname "$0")" && pwd)
. "$here/pe_tools.sh"
short=${version%.*}
base=kelvane-$short-win-x64
zip=$out/$base.zip
fail=0
problem() { echo "$*"; fail=1; }

rm -rf "$out"
"$source/scripts/make-dist.sh" "$dll" "$short" "$out" >/dev/null || { echo "make-dist.sh failed"; exit 1; }
first=$(sha256sum <"$zip")
"$source/scripts/make-dist.sh" "$dll" "$short" "$out" >/dev/null
[ "$(sha256sum <"$zip")" = "$first" ] || problem "making the package twice gave different zips"
(cd "$out" && sha256sum --quiet -c SHA256SUMS) || problem "SHA256SUMS does not match"
[ "$(awk '{print $2}' "$out/SHA256SUMS" | tr '\n' ' ')" = "$base.zip $base.debug.dll " ] ||
  problem "SHA256SUMS lists: $(awk '{print $2}' "$out/SHA256SUMS")"

names=$(python3 -c 'import sys, zipfile; print(*zipfile.ZipFile(sys.argv[1]).namelist())' "$zip")
[ "$names" = "kelvane.dll README.txt LICENSE.txt CHANGELOG.txt" ] || problem "the zip holds: $names"
python3 -m zipfile -e "$zip" "$out/unpacked"
packed=$out/unpacked/kelvane.dll

size=$(stat -c %s "$packed")
[ "$size" -le 131072 ] || problem "the packaged DLL has $size bytes, more than 128 KiB"
"$objdump" -h "$packed" | grep -q '\.debug' && problem "the packaged DLL has debug sections"
"$objdump" -h "$out/$base.debug.dll" | grep -q '\.debug_info' || problem "the debug DLL has no debug information"
cmp -s "$dll" "$out/$base.debug.dll" || problem "the debug DLL is not the DLL as built"
# The COFF header's TimeDateStamp, 8 bytes into the header that e_lfanew (at 60) points to.
header=$(od -An -tu4 -j60 -N4 "$packed")
stamp=$(od -An -tu4 -j$((header + 8)) -N4 "$packed")
[ $stamp = 0 ] || problem "the packaged DLL carries the time stamp $stamp"
"$here/check_dll_boundary.sh" "$packed" "$version" >/dev/null || {
  "$here/check_dll_boundary.sh" "$packed" "$version"
  fail=1
}
# Also as a symbol name, where tools turn every other character into "_".
for file in "$packed" "$out/$base.debug.dll"; do
  for folder in "$source" "$build" "$(sed 's/[^A-Za-z0-9]/_/g' <<<"$build")"; do
    strings -a "$file" | grep -qF "$folder" && problem "$(basename "$file") names $folder"
    strings -a -el "$file" | grep -qF "$folder" && problem "$(basename "$file") names $folder (UTF-16)"
  done
done

for pair in "README.txt package/README.txt" "LICENSE.txt LICENSE"; do
  set -- $pair
  text=$out/unpacked/$1
  grep -q -e $'[^\r]$' -e '^$' "$text" && problem "$1 has a line without a Windows line end"
  sed "s/@VERSION@/$short/g" "$source/$2" | cmp -s - <(tr -d '\r' <"$text") || problem "$1 is not $2"
done
# The change log in the zip is the source's up to its section on the source
# tree, which the download does not hold.
changes=$out/unpacked/CHANGELOG.txt
grep -q -e $'[^\r]$' -e '^$' "$changes" && problem "CHANGELOG.txt has a line without a Windows line end"
kept=$(wc -l <"$changes")
head -n "$kept" "$source/CHANGELOG.md" | cmp -s - <(tr -d '\r' <"$changes") ||
  problem "CHANGELOG.txt is not the start of CHANGELOG.md"
[ "$(tail -n +$((kept + 1)) "$source/CHANGELOG.md" | grep -m1 -v '^$')" = "## The source tree (not in the download)" ] ||
  problem "CHANGELOG.txt does not end where CHANGELOG.md's section on the source tree begins"
# What the download holds is the newest version the change log names.
[ "$(grep -m1 '^## ' "$changes" | tr -d '\r')" = "## $short" ] ||
  problem "CHANGELOG.txt does not begin with version $short: $(grep -m1 '^## ' "$changes")"
grep -qiE 'kvhost|stand-in|scripts/' "$changes" && problem "CHANGELOG.txt speaks of the source tree"

grep -q "Kelvane $short for TCC" "$out/unpacked/README.txt" || problem "README.txt does not name version $short"

[ $fail = 0 ] && echo "package: $base.zip as expected ($size bytes DLL)"
exit $fail
