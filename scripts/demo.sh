#!/usr/bin/env bash
# Builds everything and runs the demo: the stand-in host loads kelvane.dll and
# times a few commands with KV. Run as root on Debian; installs what is missing.
# The host runs in a pseudo terminal (so KV has a console for its run headers
# and title) on a virtual X display.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
scripts/configure.sh build
cmake --build build -j"$(nproc)" >/dev/null
demo=$(winepath -w "$PWD/demo/demo.btm" 2>/dev/null)
run="wine build/bin/kvhost.exe '$demo'"
# KV writes its progress into the terminal's title and blanks it at the end;
# the terminal keeps the title it had on its stack meanwhile (xterm's title
# push and pop, which terminals without it ignore).
[ -t 1 ] && printf '\033[22;0t'
status=0
if [ -n "${DISPLAY:-}" ]; then
  script -qec "$run" /dev/null || status=$?
else
  xvfb-run -a script -qec "$run" /dev/null || status=$?
fi
[ -t 1 ] && printf '\033[23;0t'
exit $status
