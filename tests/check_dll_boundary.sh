#!/usr/bin/env bash
# Checks the built plug-in DLL: it exports exactly the host's entry points,
# undecorated, and imports from nothing but system DLLs and TakeCmd.dll (the C
# and C++ runtimes are linked in), with the version resource 0.99.1.0.
set -u
dll=$1
. "$(dirname "$0")/pe_tools.sh"
fail=0

want="GetPluginInfo Help InitializePlugin ShutdownPlugin Usage _trialrun key kv "
expect_named_exports "$dll" "$want" || fail=1

allowed=" kernel32.dll user32.dll advapi32.dll winmm.dll msvcrt.dll ntdll.dll takecmd.dll "
imports=$(imported_dlls "$dll")
for name in $imports; do
  case "$allowed" in *" $name "*) ;; *) echo "unexpected import: $name"; fail=1 ;; esac
done
echo "$imports" | grep -qx takecmd.dll || { echo "TakeCmd.dll is not imported"; fail=1; }

# FILEVERSION and PRODUCTVERSION 0.99.1.0: dwFileVersionMS 0x00000063, LS 0x00010000.
if ! LC_ALL=C grep -c -a -P '\xbd\x04\xef\xfe\x00\x00\x01\x00\x63\x00\x00\x00\x00\x00\x01\x00\x63\x00\x00\x00\x00\x00\x01\x00' "$dll" >/dev/null; then
  echo "version resource 0.99.1.0 not found"; fail=1
fi

[ $fail = 0 ] && echo "dll boundary: exports, imports and version as expected"
exit $fail
