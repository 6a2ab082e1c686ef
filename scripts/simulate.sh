#!/usr/bin/env bash
# Plays simulated worlds (tests/sim/simulator.cpp): each seed makes an
# install, an update and its faults, played through the tool's driver and the
# application library on the test doubles, with one oracle after every run.
#
#   scripts/simulate.sh [seconds]     seeds in turn until the time is up (60)
#   scripts/simulate.sh --runs N      until at least N runs (the test command)
#   scripts/simulate.sh --seed SEED   replays one world, shrunk, with its log
#
# Ends with "simulation: <worlds> worlds, <runs> runs, <violations>
# violations" and fails on any violation, printing each one's shrunk world
# and the command that replays it. Built optimized without sanitizers into
# build-sim/, for throughput; the native lane also plays it under them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
case "${1:-60}" in
  --runs | --seed) args=("$@") ;;
  '' | *[!0-9]*) echo "usage: scripts/simulate.sh [seconds | --runs N | --seed SEED]" >&2; exit 64 ;;
  *) args=(--seconds "${1:-60}") ;;
esac

source "$root/scripts/packages.sh"
install_missing "${native_packages[@]}"
cd "$root"
configure_once build-sim --preset native -B build-sim -DCMAKE_BUILD_TYPE=Release -DLOFTSWITCH_FUZZ=OFF \
  -DCMAKE_C_FLAGS=-O2 -DCMAKE_EXE_LINKER_FLAGS= \
  "-DCMAKE_CXX_FLAGS=-O2 -Wno-builtin-macro-redefined -U__cpp_concepts -D__cpp_concepts=202002L"
cmake --build build-sim --target loftswitch-simulate -j2 -- --no-print-directory -s
exec build-sim/bin/loftswitch-simulate "${args[@]}"
