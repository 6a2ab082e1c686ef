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
# Debian ships libzstd for Linux only: the build compiles its source, the
# version Debian ships (checked against its .dsc, with Debian's patches).
source "$root/scripts/debian_source.sh"
debian_source libzstd libzstd-dev "$root/build/debian"
zstd_source=$debian_source_dir
configure_once build --preset mingw -DLOFTSWITCH_ZSTD_SOURCE="$zstd_source"
grep -qxF "LOFTSWITCH_ZSTD_SOURCE:PATH=$zstd_source" build/CMakeCache.txt ||
  cmake -B build -DLOFTSWITCH_ZSTD_SOURCE="$zstd_source" >/dev/null
cmake --build build -j"$(nproc)" -- --no-print-directory -s
