#!/usr/bin/env bash
# The main job: a real update of a sample application under Wine.
#   1. version 1 is installed, version 2 is staged with a journal, and
#      loftswitch-apply installs it; version 2 starts and confirms;
#   2. version 3, which crashes on start, is staged; loftswitch-apply installs
#      it, sees it exit before confirming, and rolls back to version 2.
# Exits 0 when both went as expected.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" >/dev/null
source "$root/scripts/wine-env.sh"
start_wineserver
trap stop_wineserver EXIT

bin="$root/build/bin"
demo=$(mktemp -d /tmp/loftswitch-demo.XXXXXX)
app="$demo/App"
work="$app/.loftswitch"
runs="$demo/runs.jsonl"
win() { local p="$1"; echo "Z:${p//\//\\}"; }

json_field() { # json_field FILE KEY: the first "KEY": "value" in FILE
  sed -n "s/^ *\"$2\": \"\\([^\"]*\\)\".*/\\1/p" "$1" | head -n 1
}

install_version() { # install_version FOLDER VERSION MODE
  mkdir -p "$1"
  cp "$bin/sample-app.exe" "$1/sample-app.exe"
  printf 'version=%s\nmode=%s\nexitCode=3\n' "$2" "$3" >"$1/sample.ini"
  printf 'readme of version %s\n' "$2" >"$1/readme-v$2.txt"
}

stage_update() { # stage_update ID FROM TO MODE
  local id=$1
  rm -rf "$work/stage/$id"
  install_version "$work/stage/$id/new" "$3" "$4"
  cat >"$work/journal.json" <<JSON
{
  "journal": 1,
  "id": "$id",
  "app": "demo",
  "from": "$2",
  "to": "$3",
  "state": "staged",
  "layout": "folder",
  "executable": "sample-app.exe",
  "preserve": ["settings"],
  "relaunch": {"args": ["--record", "$(win "$runs" | sed 's/\\/\\\\/g')"]},
  "timeouts": {"confirmMs": 20000, "exitMs": 10000}
}
JSON
  # The tool runs from inside the workspace, so it is not a program of the
  # install that it would have to wait for.
  cp "$bin/loftswitch-apply.exe" "$work/loftswitch-apply.exe"
}

apply_update() { # apply_update ID: runs the tool; sets $code
  set +e
  "$wine_bin" "$work/loftswitch-apply.exe" --work "$(win "$work")" --id "$1" 2>"$demo/stderr-$1.txt"
  code=$?
  set -e
}

report() { # report ID
  # A rollback starts the previous version again; give it a moment to say so.
  for _ in $(seq 50); do [ "$(wc -l <"$runs")" -ge "$expected_runs" ] && break; sleep 0.1; done
  local log
  log=$(ls -t "$work/logs/"*"-$1-"*-apply.log 2>/dev/null | head -n 1)
  echo "  exit code:       $code"
  echo "  journal state:   $(json_field "$work/journal.json" state)"
  local reason
  reason=$(json_field "$work/journal.json" reason)
  [ -n "$reason" ] && echo "  outcome reason:  $reason"
  echo "  installed:       version $(sed -n 's/^version=//p' "$app/sample.ini")"
  echo "  settings kept:   $(cat "$app/settings/user.txt")"
  echo "  the app's starts so far (version, attempt, confirmation):"
  sed 's/.*"attempt":"\([^"]*\)".*"confirmation":"\([^"]*\)".*"version":"\([^"]*\)".*/      version \3, attempt \1: \2/' "$runs"
  echo "  log:             $log"
  sed 's/^[^ ]* /      /' "$log"
}

failures=0
expect() { # expect WHAT ACTUAL WANTED
  if [ "$2" != "$3" ]; then echo "  UNEXPECTED: $1 is '$2', expected '$3'"; failures=$((failures + 1)); fi
}

echo "Demo folder: $demo"
install_version "$app" 1 confirm
mkdir -p "$app/settings" && echo "the user's settings" >"$app/settings/user.txt"
: >"$runs"

echo
echo "1) Updating the sample app from version 1 to version 2"
stage_update 00000000000000a2 1 2 confirm
expected_runs=1
apply_update 00000000000000a2
report 00000000000000a2
expect "exit code" "$code" 0
expect "journal state" "$(json_field "$work/journal.json" state)" confirmed
expect "installed version" "$(sed -n 's/^version=//p' "$app/sample.ini")" 2

echo
echo "2) Updating to version 3, which crashes before it confirms: the tool rolls back"
stage_update 00000000000000a3 2 3 crash
expected_runs=3
apply_update 00000000000000a3
report 00000000000000a3
expect "exit code" "$code" 1
expect "journal state" "$(json_field "$work/journal.json" state)" rolled-back
expect "installed version" "$(sed -n 's/^version=//p' "$app/sample.ini")" 2
expect "the user's settings" "$(cat "$app/settings/user.txt")" "the user's settings"

echo
if [ "$failures" -eq 0 ]; then
  echo "Both updates went as expected: version 2 installed and confirmed; version 3 rolled back to 2."
  rm -rf "$demo"
else
  echo "$failures unexpected results; the demo folder is kept: $demo"
  exit 1
fi
