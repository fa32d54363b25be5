#!/usr/bin/env bash
# Makes the release package from a built kelvane.dll, in the output folder:
#   kelvane-<version>-win-x64.zip        kelvane.dll without debug information,
#                                        README.txt, LICENSE.txt, CHANGELOG.txt
#   kelvane-<version>-win-x64.debug.dll  the DLL as built, for crash analysis
#   SHA256SUMS                           both, in sha256sum format
# The same DLL and texts always give the same zip: the entries are written in
# a fixed order with fixed attributes, dated with the last commit's time (or
# SOURCE_DATE_EPOCH when set), never with the time of the build.
#
#   make-dist.sh path/to/kelvane.dll 0.99.1 outdir
set -eu
dll=$1 version=$2 out=$3
root=$(cd "$(dirname "$0")/.." && pwd)
strip=${STRIP:-x86_64-w64-mingw32-strip}
base=kelvane-$version-win-x64

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$out"
rm -f "$out/$base.zip" "$out/$base.debug.dll" "$out/SHA256SUMS"

cp "$dll" "$out/$base.debug.dll"
# strip rewrites the PE header and would stamp it with the current time;
# SOURCE_DATE_EPOCH=0 keeps it at 0, as the linker leaves it.
SOURCE_DATE_EPOCH=0 "$strip" --strip-all -o "$stage/kelvane.dll" "$dll"
# The texts get Windows line ends, so Notepad shows them as lines; the
# read-me gets the version.
crlf() { sed "s/@VERSION@/$version/g; s/\r\$//; s/\$/\r/" "$1" >"$2"; }
crlf "$root/package/README.txt" "$stage/README.txt"
crlf "$root/LICENSE" "$stage/LICENSE.txt"
# The change log's last section is about the source tree (the stand-in host,
# the scripts), which the download does not hold.
# Blank lines are held back until more text follows, so none is left at the end.
awk '/^## The source tree/ {exit} /^$/ {blank++; next} {for (; blank; blank--) print ""; print}' \
  "$root/CHANGELOG.md" >"$stage/CHANGELOG.md"
crlf "$stage/CHANGELOG.md" "$stage/CHANGELOG.txt"

# 315532800 is 1980-01-01, the earliest time a zip entry can hold.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || true)}
python3 - "$stage" "$out/$base.zip" "${epoch:-315532800}" <<'PY'
import sys, time, zipfile
stage, target, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
stamp = time.gmtime(max(epoch, 315532800))[:6]
with zipfile.ZipFile(target, "w") as archive:
    for name in ("kelvane.dll", "README.txt", "LICENSE.txt", "CHANGELOG.txt"):
        entry = zipfile.ZipInfo(name, stamp)
        # Made "on MS-DOS" with the archive attribute only: no Unix owner,
        # mode or extra time fields that would differ between machines.
        entry.create_system = 0
        entry.external_attr = 0x20
        entry.compress_type = zipfile.ZIP_DEFLATED
        with open(f"{stage}/{name}", "rb") as source:
            archive.writestr(entry, source.read(), compresslevel=9)
PY
(cd "$out" && sha256sum "$base.zip" "$base.debug.dll" >SHA256SUMS)
echo "$out/$base.zip"
