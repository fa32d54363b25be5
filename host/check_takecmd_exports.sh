#!/usr/bin/env bash
# Checks the built TakeCmd.dll: its named exports are exactly the twelve
# services of the host, and the control entry points are there by ordinal.
set -u
dll=$1
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
fail=0

named=$("$objdump" -p "$dll" | awk '/^\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^[ \t]*\[ *[0-9]+\] [A-Za-z_]/ {print $3} on && /^[ \t]*$/ {on=0}' | sort | tr '\n' ' ')
want="Command CrLf ExpandVariables GetAttribute ParseColors Printf QPuts Qprintf QueryTrueName SetColors TakeCommandIPC tty_yield "
if [ "$named" != "$want" ]; then
  echo "named exports: got '$named', want '$want'"; fail=1
fi

# The export address table lists every entry; the control API has ordinals 101-109.
for ordinal in 101 102 103 104 105 106 107 108 109; do
  if ! "$objdump" -p "$dll" | grep -Eq "\+base\[ *${ordinal}\]"; then
    echo "ordinal $ordinal is not exported"; fail=1
  fi
done

[ $fail = 0 ] && echo "TakeCmd.dll: named exports and control ordinals as expected"
exit $fail
