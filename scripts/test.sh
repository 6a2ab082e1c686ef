#!/usr/bin/env bash
# Builds from nothing when needed, then runs every test under Wine with one
# persistent wineserver, stopped at the end whatever happened.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
source "$root/scripts/wine-env.sh"
start_wineserver
trap stop_wineserver EXIT
cd "$root"
ctest --test-dir build -j"$(nproc)" --output-on-failure --timeout 300 "$@"
