#!/usr/bin/env bash
# The main job: builds the tool and shows what it is.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
source "$root/scripts/wine-env.sh"
start_wineserver
trap stop_wineserver EXIT
exe="$root/build/bin/loftswitch-apply.exe"
echo "== loftswitch-apply --version"
"$wine_bin" "$exe" --version
echo "== loftswitch-apply --help"
"$wine_bin" "$exe" --help
