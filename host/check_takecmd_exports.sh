#!/usr/bin/env bash
# Checks the built TakeCmd.dll: its named exports are exactly the services as
# TCC's own TakeCmd.dll exports them (src/frame/takecmd_exports.txt), every
# service the plug-in's declarations of the host (src/frame/host_api.h) import
# is among them, and the control entry points are there by ordinal.
set -u
dll=$1
here=$(dirname "$0")
. "$here/../tests/pe_tools.sh"
fail=0

real=$(listed_names "$here/../src/frame/takecmd_exports.txt")
[ -n "$real" ] || { echo "no export names of TCC's TakeCmd.dll to compare with"; fail=1; }
while read -r name; do
  grep -qxF -- "$name" <<<"$real" || { echo "host_api.h imports $name, which TCC's TakeCmd.dll does not export"; fail=1; }
done < <(sed -n 's/^TAKECMD_API [^(]*[ *]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' "$here/../src/frame/host_api.h")
expect_named_exports "$dll" "$(sort <<<"$real" | tr '\n' ' ')" || fail=1

# The export address table lists every entry; the control API has ordinals 101-115.
for ordinal in $(seq 101 115); do
  if ! "$objdump" -p "$dll" | grep -Eq "\+base\[ *${ordinal}\]"; then
    echo "ordinal $ordinal is not exported"; fail=1
  fi
done

[ $fail = 0 ] && echo "TakeCmd.dll: named exports as TCC's, and control ordinals as expected"
exit $fail
