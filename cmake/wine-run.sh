#!/usr/bin/env bash
# Runs one Windows program under Wine the way the tests need it: inside a
# pseudo terminal (so the process has a console) and on a virtual X display
# (so it can create windows). The program's own standard output and error go
# through a file, so the log stays readable and the exit code is passed on.
#
#   wine-run.sh prog.exe [args...]
# KV_WINE_PLAIN=1 runs the program without terminal and display.
set -u
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# A program that crashes would otherwise start Wine's debugger, which waits
# forever without a terminal to talk to; this way it just ends with an error.
case "$WINEDLLOVERRIDES" in *winedbg*) ;; *) WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winedbg.exe=d" ;; esac

if [ "${KV_WINE_PLAIN:-0}" = 1 ]; then
  exec wine "$@"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf -v quoted '%q ' "$@"
inner="wine $quoted >'$work/out' 2>&1; echo \$? >'$work/rc'"

if [ -n "${DISPLAY:-}" ]; then
  script -qec "$inner" /dev/null >/dev/null 2>&1 </dev/null
else
  xvfb-run -a script -qec "$inner" /dev/null >/dev/null 2>&1 </dev/null
fi
# Wine's own processes outlive the program, lose their X connection when the
# virtual display goes away and say so into the same file (with CR LF, as
# they write through the terminal): not the program's output.
noise='X connection to :[0-9][0-9.]* broken (explicit kill or server shutdown)\.'
sed -e "/^$noise\r\?\$/d" -e "s/$noise\(\r\?\)\$/\1/" "$work/out" 2>/dev/null
rc=$(cat "$work/rc" 2>/dev/null || echo 125)
exit "$rc"
