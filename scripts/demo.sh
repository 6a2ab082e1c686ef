#!/usr/bin/env bash
# The main job: a real update of a sample application under Wine, walking the
# road a real application walks, from the publisher's feed to the outcome.
#   1. version 1 is installed with the publisher's public key; version 2 is
#      packed, signed and published in a feed with loftswitch-pack, and a
#      server on the loopback address serves the feed and the package (its
#      first answer for the package is cut off half way); the application's
#      update loop (examples/update/main.c) checks the feed, downloads the
#      package, resuming after the cut, stages it through the application
#      library and starts loftswitch-apply, then exits; the tool installs
#      version 2, which starts and confirms;
#   2. version 3, which crashes on start, is published, with a delta from
#      version 2 beside it; the update loop is offered the delta, downloads
#      only what changed, and staging rebuilds version 3 from it and the
#      install's files;
#      the tool sees it exit before confirming and rolls back to version 2,
#      which starts again and reads the outcome; checked again, the feed
#      still lists version 3, but this install is no longer offered it.
# Exits 0 when all of that went as expected.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" >/dev/null
source "$root/scripts/wine-env.sh"
start_wineserver
bin="$root/build/bin"
demo=$(mktemp -d /tmp/loftswitch-demo.XXXXXX)
served="$demo/served"
mkdir -p "$served"
# The server lives as long as the demo, and ten minutes at most.
python3 "$root/tests/support/test_server.py" --root "$served" --serve --lifetime 600 \
  --port-file "$demo/server.txt" --fault "/v2.zip?fault=cut&at=400000&times=1&key=v2" &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; stop_wineserver' EXIT
for _ in $(seq 100); do [ -s "$demo/server.txt" ] && break; sleep 0.1; done
server=$(cat "$demo/server.txt")
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

sign_and_publish() { # sign_and_publish NAME VERSION: signs served/NAME.zip and lists it in the feed
  wine_run "$bin/loftswitch-pack.exe" sign --key "$(win "$demo/publisher.key")" --app demo \
    --version "$2" --platform windows-x64 --out "$(win "$served/$1.json")" \
    "$(win "$served/$1.zip")" >/dev/null
  wine_run "$bin/loftswitch-pack.exe" publish --key "$(win "$demo/publisher.key")" \
    --feed "$(win "$served/stable.json")" --channel stable --url "$1.zip" \
    --signed "$(win "$served/$1.json")" | tr -d '\r' | sed 's/^/  /'
}

publish_update() { # publish_update VERSION MODE [BASE]: packs, signs and publishes it in the
  # feed, and with BASE a delta from that version beside it
  local version=$1 folder="$demo/v$1"
  install_version "$folder" "$version" "$2"
  (cd "$folder" && zip -qr "$served/v$version.zip" .)
  sign_and_publish "v$version" "$version"
  [ $# -ge 3 ] || return 0
  wine_run "$bin/loftswitch-pack.exe" delta --from "$(win "$served/v$3.zip")" \
    --to "$(win "$served/v$version.zip")" --out "$(win "$served/v$3-to-v$version.zip")" |
    tr -d '\r' | sed 's/^/  /'
  sign_and_publish "v$3-to-v$version" "$version"
}

check_and_update() { # the application's update loop against the feed; sets $id and $said
  # The tool it starts inherits its standard error: the tool's lines are in its log.
  if ! said=$(wine_run "$bin/update-example.exe" "$(win "$app")" "$server/stable.json" \
    "$(cat "$demo/options.json")" 2>"$demo/update-errors.txt" | tr -d '\r'); then
    tr -d '\r' <"$demo/update-errors.txt" | sed 's/^/  update loop failed: /'
  fi
  echo "$said" | sed 's/^/  update loop: /'
  id=$(echo "$said" | sed -n 's/.* as attempt \([0-9a-f]\{16\}\).*/\1/p')
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

wait_for_tool() { # wait_for_tool ID: until the tool's log says how it ended; sets $code and $log
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

echo "Demo folder: $demo; feed: $server/stable.json"
install_version "$app" 1 confirm
cat >"$demo/options.json" <<JSON
{"relaunchArgs": ["--record", "$(json_text "$runs")"], "confirmMs": 20000, "exitMs": 10000}
JSON
mkdir -p "$app/settings" && echo "the user's settings" >"$app/settings/user.txt"
: >"$runs"

echo
echo "1) Publishing version 2; the sample app's update loop finds it, downloads it through a"
echo "   cut connection, stages it and hands over to loftswitch-apply"
publish_update 2 confirm
check_and_update
expect "the download's resume" "$(echo "$said" | grep -c '1 range resumed')" 1
expected_runs=1
wait_for_tool "$id"
report "$id"
expect "exit code" "$code" 0
expect "journal state" "$(json_field "$work/journal.json" state)" confirmed
expect "installed version" "$(sed -n 's/^version=//p' "$app/sample.ini")" 2

echo
echo "2) Publishing version 3, which crashes before it confirms, and a delta from version 2:"
echo "   the update loop downloads only the delta; the tool rolls back"
publish_update 3 crash 2
check_and_update
expect "the offer of the delta" "$(echo "$said" | grep -c 'offered as a delta from the installed 2')" 1
expected_runs=3
wait_for_tool "$id"
report "$id"
expect "exit code" "$code" 1
expect "journal state" "$(json_field "$work/journal.json" state)" rolled-back
expect "installed version" "$(sed -n 's/^version=//p' "$app/sample.ini")" 2
expect "the user's settings" "$(cat "$app/settings/user.txt")" "the user's settings"

echo
echo "3) Checking the feed again: it still lists version 3, which this install rolled back"
check_and_update
expect "an attempt after the rollback" "$id" ""
expect "the reason version 3 is passed over" \
  "$(echo "$said" | grep -c 'skipped 3 for windows-x64: it was rolled back on this install')" 1

echo
if [ "$failures" -eq 0 ]; then
  echo "All went as expected: version 2 downloaded with a resume, installed and confirmed;"
  echo "version 3 came as a delta, rolled back to 2, and is no longer offered to this install."
  rm -rf "$demo"
else
  echo "$failures unexpected results; the demo folder is kept: $demo"
  exit 1
fi
