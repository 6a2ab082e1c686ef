#!/usr/bin/env bash
# Installs what the build needs (Debian 12, as root) and builds everything
# into build/. Quiet and quick when all is there already. With --libraries it
# stops once the C libraries it cross-builds from Debian's sources are there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# LLVM's dlltool writes the import library for Microsoft's linker; clang and
# lld link a C program with it in the SDK's tests, as that linker would.
packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  wine64 cmake make nlohmann-json3-dev googletest libz-mingw-w64-dev pkg-config
  llvm-16 clang-16 lld-16 zip python3)
source "$root/scripts/packages.sh"
install_missing "${packages[@]}" "${mingw_library_packages[@]}"
source "$root/scripts/mingw_libraries.sh"
mingw_libraries
[ "${1:-}" != --libraries ] || exit 0

cd "$root"
configure_once build --preset mingw
cmake --build build -j"$(nproc)" -- --no-print-directory -s
