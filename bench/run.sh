#!/usr/bin/env bash
# Runs the benchmarks under Wine and prints their figures beside native
# tools on the same data. Not part of the tests.
#   bench/run.sh [package-MiB]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" >/dev/null
command -v unzip >/dev/null || { export DEBIAN_FRONTEND=noninteractive; apt-get install -y -qq unzip >/dev/null; }
command -v curl >/dev/null || { export DEBIAN_FRONTEND=noninteractive; apt-get install -y -qq curl >/dev/null; }
source "$root/scripts/wine-env.sh"
start_wineserver
trap stop_wineserver EXIT
scratch=$(mktemp -d /tmp/loftswitch-bench.XXXXXX)
trap 'stop_wineserver; rm -rf "$scratch"' EXIT
win() { local p="$1"; echo "Z:${p//\//\\}"; }
seconds() { local start=$1; echo "$(( ($(date +%s%N) - start) / 1000000 )) ms"; }

mib=${1:-1024}
echo "== package of $mib MiB: hash, open, extract (loftswitch, under Wine)"
"$wine_bin" "$root/build/bin/bench-package.exe" "$(win "$scratch")" "$mib"
echo "== the same package with native tools"
start=$(date +%s%N); sha256sum "$scratch/package.zip" >/dev/null; echo "sha256sum:    $(seconds "$start")"
mkdir -p "$scratch/unzipped"
start=$(date +%s%N); unzip -q "$scratch/package.zip" -d "$scratch/unzipped"; echo "unzip -q:     $(seconds "$start")"
rm -rf "$scratch"/*

echo "== delta of a 200 MB app of 500 files, 3 changed (loftswitch, under Wine)"
"$wine_bin" "$root/build/bin/bench-delta.exe" "$(win "$scratch")" make
"$wine_bin" "$root/build/bin/bench-delta.exe" "$(win "$scratch")" extract
"$wine_bin" "$root/build/bin/bench-delta.exe" "$(win "$scratch")" rebuild
echo "== the changed files with native tools (Debian's zstd and xdelta3)"
command -v xdelta3 >/dev/null || { export DEBIAN_FRONTEND=noninteractive; apt-get install -y -qq xdelta3 zstd >/dev/null; }
for old in "$scratch"/anchors/*.old; do
  new=${old%.old}.new
  echo "$(basename "$new" .new): $(stat -c %s "$new") bytes"
  for level in 3 19; do
    start=$(date +%s%N)
    zstd -q -f -"$level" --patch-from="$old" "$new" -o "$scratch/anchor.zst"
    echo "  zstd -$level --patch-from: $(stat -c %s "$scratch/anchor.zst") bytes, $(seconds "$start")"
  done
  start=$(date +%s%N)
  xdelta3 -e -f -s "$old" "$new" "$scratch/anchor.xd3"
  echo "  xdelta3 -e:              $(stat -c %s "$scratch/anchor.xd3") bytes, $(seconds "$start")"
done
unzip -lv "$scratch/delta.zip" | awk '$8 ~ /^data\// { print "  the delta'"'"'s " $8 ": " $3 " bytes" }'
rm -rf "$scratch"/*

echo "== download of $mib MiB from the loopback address (loftswitch, under Wine)"
mkdir -p "$scratch/served"
head -c "$((mib * 1048576))" /dev/urandom >"$scratch/served/package.zip"
python3 "$root/tests/support/test_server.py" --root "$scratch/served" --serve --lifetime 600 \
  --port-file "$scratch/server.txt" &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true; stop_wineserver; rm -rf "$scratch"' EXIT
for _ in $(seq 100); do [ -s "$scratch/server.txt" ] && break; sleep 0.1; done
url="$(cat "$scratch/server.txt")/package.zip"
"$wine_bin" "$root/build/bin/bench-download.exe" "$(win "$scratch")" "$url" \
  "$((mib * 1048576))" "$(sha256sum "$scratch/served/package.zip" | cut -d' ' -f1)"
echo "== the same file with curl"
curl -s -o /dev/null -w "curl:                %{time_total} s\n" "$url"
kill "$server_pid"
rm -rf "$scratch"/*

for bench in "$root"/build/bin/bench-*.exe; do
  case "$bench" in *bench-package.exe | *bench-download.exe | *bench-delta.exe) continue ;; esac
  echo "== $(basename "$bench" .exe)"
  "$wine_bin" "$bench" "$(win "$scratch")"
  rm -rf "$scratch"/*
done
