#!/usr/bin/env bash
# The main job: a real update of a sample application under Wine, walking the
# road a real application walks.
#   1. version 1 is installed with the publisher's public key; version 2 is
#      packed, signed with loftswitch-pack, and staged through the application
#      library, which checks the signature and unpacks it; the running app
#      starts loftswitch-apply and exits; the tool installs version 2, which
#      starts and confirms;
#   2. version 3, which crashes on start, goes the same way; the tool sees it
#      exit before confirming and rolls back to version 2, which starts again
#      and reads the outcome.
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
json_text() { win "$1" | sed 's/\\/\\\\/g'; }
wine_run() { "$wine_bin" "$@"; }

json_field() { # json_field FILE KEY: the first "KEY": "value" in FILE
  sed -n "s/^ *\"$2\": \"\\([^\"]*\\)\".*/\\1/p" "$1" | head -n 1
}

# The publisher's key pair; the install trusts its public half.
wine_run "$bin/loftswitch-pack.exe" keygen "$(win "$demo/publisher.key")" >"$demo/publisher.pub"
public_key=$(tr -d '\r\n' <"$demo/publisher.pub")

install_version() { # install_version FOLDER VERSION MODE
  mkdir -p "$1"
  cp "$bin/sample-app.exe" "$1/sample-app.exe"
  # The tool ships with the application.
  cp "$bin/loftswitch-apply.exe" "$1/loftswitch-apply.exe"
  printf 'version=%s\nmode=%s\nexitCode=3\n' "$2" "$3" >"$1/sample.ini"
  printf 'readme of version %s\n' "$2" >"$1/readme-v$2.txt"
  cat >"$1/loftswitch.json" <<JSON
{
  "loftswitch_install": 1,
  "app": "demo",
  "version": "$2",
  "executable": "sample-app.exe",
  "platforms": ["windows-x64"],
  "preserve": ["settings"],
  "publicKeys": ["$public_key"]
}
JSON
}

stage_update() { # stage_update VERSION MODE: packs, signs and stages; sets $id
  local version=$1 folder="$demo/v$1"
  install_version "$folder" "$version" "$2"
  rm -f "$demo/v$version.zip"
  (cd "$folder" && zip -qr "$demo/v$version.zip" .)
  wine_run "$bin/loftswitch-pack.exe" sign --key "$(win "$demo/publisher.key")" --app demo \
    --version "$version" --platform windows-x64 --out "$(win "$demo/v$version.json")" \
    "$(win "$demo/v$version.zip")" >/dev/null
  cat >"$demo/options.json" <<JSON
{"relaunchArgs": ["--record", "$(json_text "$runs")"], "confirmMs": 20000, "exitMs": 10000}
JSON
  id=$(wine_run "$bin/stage-update.exe" "$(win "$app")" "$(win "$demo/v$version.zip")" \
    "$(win "$demo/v$version.json")" "$(win "$demo/options.json")" | tr -d '\r')
}

exit_code_of() { # the tool's exit code for the outcome its log names
  case "$1" in
    updated | unconfirmed | nothing-to-do) echo 0 ;;
    rolled-back) echo 1 ;;
    app-still-running) echo 3 ;;
    busy) echo 4 ;;
    refused) echo 5 ;;
    *) echo 2 ;;
  esac
}

apply_update() { # apply_update ID: the running app starts the tool and exits; sets $code and $log
  wine_run "$app/sample-app.exe" --start-update "$1" 2>"$demo/start-$1.txt"
  log=""
  local finished=""
  for _ in $(seq 600); do
    log=$(ls -t "$work/logs/"*"-$1-"*-apply.log 2>/dev/null | head -n 1 || true)
    if [ -n "$log" ]; then
      finished=$(sed -n 's/.* finished: //p' "$log")
      [ -n "$finished" ] && break
    fi
    sleep 0.1
  done
  code=$(exit_code_of "$finished")
}

report() { # report ID
  # A rollback starts the previous version again; give it a moment to say so.
  for _ in $(seq 50); do [ "$(wc -l <"$runs")" -ge "$expected_runs" ] && break; sleep 0.1; done
  echo "  exit code:       $code"
  echo "  journal state:   $(json_field "$work/journal.json" state)"
  local reason
  reason=$(json_field "$work/journal.json" reason)
  [ -n "$reason" ] && echo "  outcome reason:  $reason"
  echo "  installed:       version $(sed -n 's/^version=//p' "$app/sample.ini")"
  echo "  settings kept:   $(cat "$app/settings/user.txt")"
  echo "  the app's starts so far (version, attempt, confirmation):"
  sed -e 's/.*"attempt":"\([^"]*\)".*"confirmation":"\([^"]*\)".*"outcome":"\([^"]*\)".*"version":"\([^"]*\)".*/      version \4, attempt \1: \2; told the user: \3/' \
    -e 's/; told the user: $//' "$runs"
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
stage_update 2 confirm
expected_runs=1
apply_update "$id"
report "$id"
expect "exit code" "$code" 0
expect "journal state" "$(json_field "$work/journal.json" state)" confirmed
expect "installed version" "$(sed -n 's/^version=//p' "$app/sample.ini")" 2

echo
echo "2) Updating to version 3, which crashes before it confirms: the tool rolls back"
stage_update 3 crash
expected_runs=3
apply_update "$id"
report "$id"
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
