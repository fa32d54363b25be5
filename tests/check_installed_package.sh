#!/usr/bin/env bash
# The package as a user meets it: the zip unpacked into a fresh folder laid
# out like a TCC installation (kvhost.exe and TakeCmd.dll from the build,
# Plugins\kelvane.dll from the zip), a KV series run there from a batch file
# under Wine. Checks the loaded message, that the plug-in came from the Plugins
# folder, and the report.
#   check_installed_package.sh package.zip bin-dir work-dir 0.99.1
set -u
zip=$1 bin=$2 work=$3 short=$4
here=$(cd "$(dirname "$0")" && pwd)
fail=0
problem() { echo "$*"; fail=1; }

install=$work/TCC
rm -rf "$work"
mkdir -p "$install/Plugins"
cp "$bin/kvhost.exe" "$bin/TakeCmd.dll" "$install/"
python3 -m zipfile -e "$zip" "$work/unzipped"
cp "$work/unzipped/kelvane.dll" "$install/Plugins/"
printf 'plugin\r\nkv /n:3 delay /m 5\r\necho after the series [%%_trialrun]\r\n' >"$install/series.btm"

output=$(cd "$install" && "$here/../cmake/wine-run.sh" kvhost.exe series.btm)
rc=$?
output=$(tr -d '\r' <<<"$output")
[ $rc = 0 ] || problem "kvhost ended with $rc"
expect() { grep -qE "$1" <<<"$output" || problem "missing: $1"; }
[ "$(head -n 1 <<<"$output")" = "Kelvane v$short loaded." ] || problem "the first line is not the loaded message"
expect '^Kelvane  \(.*\\Plugins\\kelvane\.dll\)$'
expect '^  command   kv$'
for run in 1 2 3; do expect "^Run #$run of 3:  Time = [0-9:.]+   rv = 0$"; done
expect '^Command   :  delay /m 5$'
expect '^Total runs:  3    Errors:  0    Dropped:  0   Runs counted:  3$'
expect '^Average time:  [0-9:.]+    Median time:  [0-9:.]+$'
expect '^Total time:  [0-9:.]+    Wall time:  [0-9:.]+$'
expect '^after the series \[\]$'
grep -q 'kvhost:' <<<"$output" && problem "kvhost complained"
[ $fail = 0 ] && echo "installed package: loaded from Plugins, KV series reported" || echo "$output"
exit $fail
