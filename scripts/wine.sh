#!/usr/bin/env bash
# Runs a built Windows program under the project's Wine prefix:
#   scripts/wine.sh build/bin/loftswitch-apply.exe --help
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/wine-env.sh"
ensure_wine_prefix
exec "$wine_bin" "$@"
