#!/usr/bin/env bash
# Installs what the build needs (Debian 12, as root) and builds everything
# into build/. Quiet and quick when all is there already.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  wine64 cmake make nlohmann-json3-dev googletest libz-mingw-w64-dev pkg-config python3)
source "$root/scripts/packages.sh"
install_missing "${packages[@]}"

cd "$root"
configure_once build --preset mingw
cmake --build build -j"$(nproc)" -- --no-print-directory -s
