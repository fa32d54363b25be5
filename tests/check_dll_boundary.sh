#!/usr/bin/env bash
# Checks the built plug-in DLL: it exports exactly the host's entry points,
# undecorated, and imports from nothing but system DLLs and TakeCmd.dll (the C
# and C++ runtimes are linked in), from the system's DLLs only functions that
# Windows 7 SP1 has (src/frame/system_imports.txt), and from TakeCmd.dll only
# names that TCC's own TakeCmd.dll exports (src/frame/takecmd_exports.txt);
# with the project's version in its version resource; and no function of the
# plug-in's own code has an exception handler, so none runs code while the
# host unwinds over it after a break.
#   check_dll_boundary.sh kelvane.dll 0.99.1.0 [libkvcore.a]
# Without the library (a packaged DLL checked on its own) the handler check is
# left out: only the library's objects tell the plug-in's code from the runtime's.
set -u
dll=$1 version=$2 library=${3:-}
here=$(dirname "$0")
. "$here/pe_tools.sh"
fail=0

want="GetPluginInfo Help InitializePlugin ShutdownPlugin Usage _kvavg _kverrors _kvmax _kvmedian _kvmin _kvratio _kvratiohigh _kvratiolow _kvruns _kvstddev _kvtotal _trialrun key kv "
expect_named_exports "$dll" "$want" || fail=1

allowed=" kernel32.dll user32.dll advapi32.dll winmm.dll msvcrt.dll ntdll.dll takecmd.dll "
imports=$(imported_dlls "$dll")
for name in $imports; do
  case "$allowed" in *" $name "*) ;; *) echo "unexpected import: $name"; fail=1 ;; esac
done
echo "$imports" | grep -qx takecmd.dll || { echo "TakeCmd.dll is not imported"; fail=1; }

# Windows refuses to load a DLL that imports a function its system lacks: from
# the system's DLLs only functions Windows 7 SP1 has (src/frame/system_imports.txt).
systemNames=$(listed_names "$here/../src/frame/system_imports.txt" | awk '{print tolower($1), $2}')
[ -n "$systemNames" ] || { echo "no list of the system functions Windows 7 SP1 has to check against"; fail=1; }
for name in $imports; do
  case $name in msvcrt.dll | takecmd.dll) continue ;; esac
  while read -r function; do
    grep -qxF -- "$name $function" <<<"$systemNames" ||
      { echo "imports $function from $name, which is not listed as one Windows 7 SP1 has"; fail=1; }
  done < <(imported_names "$dll" "$name")
done

# Windows refuses to load a DLL that imports a name its host does not export.
hostNames=$(listed_names "$here/../src/frame/takecmd_exports.txt")
[ -n "$hostNames" ] || { echo "no export names of TCC's TakeCmd.dll to check against"; fail=1; }
while read -r name; do
  grep -qxF -- "$name" <<<"$hostNames" || { echo "TCC's TakeCmd.dll does not export $name"; fail=1; }
done < <(imported_names "$dll" TakeCmd.dll)

# The fixed part of the version resource: its signature and structure version,
# then FILEVERSION and PRODUCTVERSION, each as two little-endian 32-bit words
# (major << 16 | minor, build << 16 | revision). 0.99.1.0 is 63 00 00 00 00 00 01 00.
word16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)); }
IFS=. read -r major minor build revision <<<"$version"
numbers=$(word16 "$minor")$(word16 "$major")$(word16 "$revision")$(word16 "$build")
if ! LC_ALL=C grep -q -a -P "\\xbd\\x04\\xef\\xfe\\x00\\x00\\x01\\x00$numbers$numbers" "$dll"; then
  echo "version resource $version not found"; fail=1
fi

# A function with a handler has unwind data that names a personality routine.
handlers=
[ -z "$library" ] || [ -r "$library" ] || { echo "cannot read $library"; fail=1; }
[ -n "$library" ] && handlers=$("$objdump" -r "$library" | awk '/file format/ {object=$1}
  /__gxx_personality|_GCC_specific_handler|__C_specific_handler/ {print object}' | sort -u)
if [ -n "$handlers" ]; then
  echo "exception handlers in the plug-in's code:"; echo "$handlers"; fail=1
fi

[ $fail = 0 ] && echo "dll boundary: exports, imports and version as expected${library:+, no exception handlers}"
exit $fail
