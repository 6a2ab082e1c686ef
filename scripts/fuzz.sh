#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer (clang 16) into the native lane's build-native/,
# over its objects, and runs each for the given number of seconds (default
# 20) on a scratch copy of its seed corpus. Prints one line per target and
# fails when any target found anything: a crash, a leak, a time-out or a
# broken property. Reproducers are kept in build-native/fuzz/findings/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
case "$seconds" in '' | *[!0-9]*) echo "usage: scripts/fuzz.sh [seconds-per-target]" >&2; exit 64 ;; esac

source "$root/scripts/packages.sh"
install_missing "${native_packages[@]}"

cd "$root"
build=build-native
configure_once "$build" --preset native -DLOFTSWITCH_FUZZ=ON
grep -q '^LOFTSWITCH_FUZZ:BOOL=ON$' "$build/CMakeCache.txt" || cmake "$build" -DLOFTSWITCH_FUZZ=ON >/dev/null
mkdir -p "$build/fuzz"
if ! cmake --build "$build" --target fuzz-targets -j"$(nproc)" -- --no-print-directory -s \
  >"$build/fuzz/build.log" 2>&1; then
  cat "$build/fuzz/build.log" >&2
  exit 1
fi

findings_dir="$build/fuzz/findings"
mkdir -p "$findings_dir"
status=0
for source in tests/fuzz/*_fuzz.cpp; do
  name=$(basename "$source" _fuzz.cpp)
  binary="$build/bin/fuzz-$name"
  work="$build/fuzz/run/$name"
  rm -rf "$work"
  mkdir -p "$work"
  cp tests/fuzz/corpus/"$name"/* "$work"/
  log="$build/fuzz/run/$name.log"
  before=$(find "$findings_dir" -name "$name-*" ! -name "$name-slow-unit-*" | wc -l)
  # Slow inputs are reported as time-outs; memory is bounded below the
  # machine's so that a runaway allocation is a finding, not a lost host.
  set +e
  "$binary" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$findings_dir/$name-" "$work" >"$log" 2>&1
  rc=$?
  set -e
  after=$(find "$findings_dir" -name "$name-*" ! -name "$name-slow-unit-*" | wc -l)
  found=$((after - before))
  if [ "$rc" -ne 0 ] && [ "$found" -eq 0 ]; then found=1; fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  [ -n "$runs" ] || runs=$(grep -oE '^#[0-9]+' "$log" | tail -n 1 | tr -d '#')
  echo "fuzz target $name: ${runs:-0} runs, $found findings"
  if [ "$found" -ne 0 ]; then
    status=1
    grep -E 'ERROR|property failed|SUMMARY' "$log" | head -n 5 >&2 || true
    echo "  log: $log" >&2
  fi
done
exit "$status"
