#!/usr/bin/env bash
# The native lane: builds the portable core and its tests with clang 16,
# AddressSanitizer and UndefinedBehaviorSanitizer into build-native/ and runs
# them. Installs what it needs (Debian 12, as root). Arguments go to the test
# program (e.g. --gtest_filter=RunTest.*).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

source "$root/scripts/packages.sh"
install_missing "${native_packages[@]}"

cd "$root"
configure_once build-native --preset native
cmake --build build-native --target loftswitch-portable-tests loftswitch-simulate -j"$(nproc)" \
  -- --no-print-directory -s
start=$(date +%s%N)
build-native/bin/loftswitch-portable-tests --gtest_brief=1 "$@"
echo "native lane: tests ran in $(( ($(date +%s%N) - start) / 1000000 )) ms"
# The simulator under the sanitizers, as many runs as the test command owes.
if [ $# -eq 0 ]; then
  start=$(date +%s%N)
  build-native/bin/loftswitch-simulate --runs 20000
  echo "native lane: the simulator ran in $(( ($(date +%s%N) - start) / 1000000 )) ms"
fi
