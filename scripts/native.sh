#!/usr/bin/env bash
# The native lane: builds the portable core and its tests with clang 16,
# AddressSanitizer and UndefinedBehaviorSanitizer into build-native/ and runs
# them. Installs what it needs (Debian 12, as root). Arguments go to the test
# program (e.g. --gtest_filter=RunTest.*).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

source "$root/scripts/packages.sh"
install_missing clang-16 libclang-rt-16-dev llvm-16 cmake make nlohmann-json3-dev googletest \
  zlib1g-dev libgcrypt20-dev

cd "$root"
launcher=()
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR="$root"
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
if [ ! -f build-native/CMakeCache.txt ]; then
  cmake --preset native "${launcher[@]}" >/dev/null
fi
cmake --build build-native --target loftswitch-portable-tests -j"$(nproc)" -- --no-print-directory -s
start=$(date +%s%N)
build-native/bin/loftswitch-portable-tests --gtest_brief=1 "$@"
echo "native lane: tests ran in $(( ($(date +%s%N) - start) / 1000000 )) ms"
