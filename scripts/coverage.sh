#!/usr/bin/env bash
# Line and branch coverage of the portable core by the native lane's tests:
# builds them with clang's source-based coverage into build-coverage/, runs
# them, prints the figures of every file under src/ (the native stand-ins for
# Win32 pieces left out) and ends with one summary line.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/packages.sh"
install_missing "${native_packages[@]}"

cd "$root"
configure_once build-coverage --preset coverage
cmake --build build-coverage --target loftswitch-portable-tests -j"$(nproc)" -- --no-print-directory -s

profiles=build-coverage/profiles
rm -rf "$profiles"
mkdir -p "$profiles"
LLVM_PROFILE_FILE="$profiles/portable-%p.profraw" \
  build-coverage/bin/loftswitch-portable-tests --gtest_brief=1 >/dev/null
llvm-profdata-16 merge -sparse "$profiles"/*.profraw -o "$profiles/portable.profdata"
report=$(llvm-cov-16 report build-coverage/bin/loftswitch-portable-tests \
  -instr-profile="$profiles/portable.profdata" -ignore-filename-regex='_native\.cpp$' \
  "$root/src")
echo "$report"
# TOTAL, then regions, functions, lines and branches: each as count, missed, percent.
echo "$report" | awk '$1 == "TOTAL" {
  printf "coverage: %.1f%% of lines, %.1f%% of branches (portable core)\n",
    100 * ($8 - $9) / $8, 100 * ($11 - $12) / $11 }'
