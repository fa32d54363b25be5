#!/usr/bin/env bash
# Checks the built TakeCmd.dll: its named exports are exactly the services the
# plug-in's declarations of the host list (src/frame/host_api.h), which are
# the twelve of the real host, and the control entry points are there by ordinal.
set -u
dll=$1
here=$(dirname "$0")
. "$here/../tests/pe_tools.sh"
fail=0

want="Command CrLf ExpandVariables GetAttribute ParseColors Printf QPuts Qprintf QueryTrueName SetColors TakeCommandIPC tty_yield "
declared=$(sed -n 's/^TAKECMD_API [^(]*[ *]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' "$here/../src/frame/host_api.h" | sort | tr '\n' ' ')
[ "$declared" = "$(tr ' ' '\n' <<<"$want" | sed '/^$/d' | sort | tr '\n' ' ')" ] ||
  { echo "host_api.h declares: $declared"; fail=1; }
expect_named_exports "$dll" "$want" || fail=1

# The export address table lists every entry; the control API has ordinals 101-115.
for ordinal in $(seq 101 115); do
  if ! "$objdump" -p "$dll" | grep -Eq "\+base\[ *${ordinal}\]"; then
    echo "ordinal $ordinal is not exported"; fail=1
  fi
done

[ $fail = 0 ] && echo "TakeCmd.dll: named exports as declared, and control ordinals as expected"
exit $fail
