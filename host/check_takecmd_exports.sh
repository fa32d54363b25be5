#!/usr/bin/env bash
# Checks the built TakeCmd.dll: its named exports are exactly the twelve
# services of the host, and the control entry points are there by ordinal.
set -u
dll=$1
. "$(dirname "$0")/../tests/pe_tools.sh"
fail=0

want="Command CrLf ExpandVariables GetAttribute ParseColors Printf QPuts Qprintf QueryTrueName SetColors TakeCommandIPC tty_yield "
expect_named_exports "$dll" "$want" || fail=1

# The export address table lists every entry; the control API has ordinals 101-112.
for ordinal in 101 102 103 104 105 106 107 108 109 110 111 112; do
  if ! "$objdump" -p "$dll" | grep -Eq "\+base\[ *${ordinal}\]"; then
    echo "ordinal $ordinal is not exported"; fail=1
  fi
done

[ $fail = 0 ] && echo "TakeCmd.dll: named exports and control ordinals as expected"
exit $fail
