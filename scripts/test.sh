#!/usr/bin/env bash
# The one test command. Installs what it needs and runs, in this order: the
# native lane (the portable core and its tests with sanitizers, fast), the
# fuzz targets for a few seconds each when they exist, and then everything
# under Wine with one persistent wineserver, stopped at the end whatever
# happened. Arguments go to the Wine lane's ctest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# Each phase prints its wall time, so a slow run shows where the time went.
began=$(date +%s)
phase() { echo "test: $1 done at $(( $(date +%s) - began )) s"; }
source "$root/scripts/packages.sh"
install_missing "${native_packages[@]}"
# The C libraries of the Windows build cross-build (mostly one serial
# configure script) while the native lane and the fuzz targets run.
libraries_log=$(mktemp)
"$root/scripts/build.sh" --libraries >"$libraries_log" 2>&1 &
libraries=$!
"$root/scripts/native.sh"
phase "native lane"
if [ -x "$root/scripts/fuzz.sh" ]; then
  "$root/scripts/fuzz.sh" 6
  phase "fuzz targets"
fi
libraries_status=0
wait "$libraries" || libraries_status=$?
cat "$libraries_log"
rm -f "$libraries_log"
[ "$libraries_status" -eq 0 ] || exit "$libraries_status"
phase "cross-built libraries"
"$root/scripts/build.sh"
phase "Windows build"
source "$root/scripts/wine-env.sh"
start_wineserver
trap stop_wineserver EXIT
cd "$root"
# A Wine process now and then dies as it starts (a test "fails" in 0.05 s
# with no output); such a test gets one more try. A real failure fails twice.
ctest --test-dir build -j"$(nproc)" --output-on-failure --timeout 300 --repeat until-pass:2 "$@"
