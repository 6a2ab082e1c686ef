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
# The fuzz targets (scripts/fuzz.sh) build here too, over the same objects:
# the core compiles once for both, with libFuzzer's coverage counters, which
# the tests never notice.
configure_once build-native --preset native -DLOFTSWITCH_FUZZ=ON
cmake --build build-native --target loftswitch-portable-tests loftswitch-simulate -j"$(nproc)" \
  -- --no-print-directory -s
start=$(date +%s%N)
build-native/bin/loftswitch-portable-tests --gtest_brief=1 "$@"
echo "native lane: tests ran in $(( ($(date +%s%N) - start) / 1000000 )) ms"
# The simulator under the sanitizers, 20,000 runs (about two minutes on two cores,
# while the Windows libraries cross-build beside it); scripts/simulate.sh
# plays many more, built for speed.
if [ $# -eq 0 ]; then
  start=$(date +%s%N)
  build-native/bin/loftswitch-simulate --runs 20000
  echo "native lane: the simulator ran in $(( ($(date +%s%N) - start) / 1000000 )) ms"
fi
