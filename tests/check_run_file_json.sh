#!/usr/bin/env bash
# The JSON run file read by a real JSON parser: kvhost runs a series with /X,
# then Python's json module loads the file and holds it to the series.
#   check_run_file_json.sh path/to/kvhost.exe
set -eu
here=$(cd "$(dirname "$0")" && pwd)
kvhost=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
printf '%s\r\n' 'kv /n:4 /d /e /q /o:fjt /x:runs.json `if "%_trialrun"=="2" exitcode -7`' >make.btm
"$here/../cmake/wine-run.sh" "$kvhost" make.btm >/dev/null
python3 - <<'PY'
import json
d = json.load(open("runs.json", encoding="utf-8"))
assert list(d) == ["command", "frequency", "requested", "interrupted", "runs", "counted", "errors", "avg_ns",
                   "median_ns", "min_ns", "max_ns", "stddev_ns", "total_ns"], list(d)
assert d["command"] == '`if "%_trialrun"=="2" exitcode -7`' and d["requested"] == 4 and d["interrupted"] is False
runs = d["runs"]
assert [r["run"] for r in runs] == [1, 2, 3, 4, 5, 6] and all(r["ns"] == r["ticks"] * 10**9 // d["frequency"] for r in runs)
assert [r["rv"] for r in runs] == [0, -7, 0, 0, 0, 0] and runs[1]["status"] == "excluded"
counted = [r["ns"] for r in runs if r["status"] == "counted"]
assert sorted(r["status"] for r in runs) == ["counted"] * 3 + ["excluded", "fast", "slow"], runs
assert d["counted"] == 3 and d["errors"] == 1 and (d["min_ns"], d["max_ns"]) == (min(counted), max(counted)), d
PY
