# Sourced: installs the Debian packages given that are missing (as root, no
# questions asked), and nothing when all are there.
install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

# What the native lane, its coverage build and the fuzz targets need; libsodium
# signs and verifies there, and stands in for CNG's SHA-256, and libzstd
# decodes and encodes the data of delta packages.
native_packages=(clang-16 libclang-rt-16-dev llvm-16 cmake make nlohmann-json3-dev googletest
  zlib1g-dev libsodium-dev libzstd-dev)

# What cross-building Debian's sources of C libraries for the Windows build
# needs (scripts/mingw_libraries.sh): apt's source support unpacks them, and
# autotools makes their configure scripts as Debian's own build does.
mingw_library_packages=(dpkg-dev autoconf automake libtool make)

# Configures build folder $1 with the cmake arguments that follow, once: a
# folder that has its cache is left as it is. Compiles through ccache when the
# machine has it (and CCACHE_DISABLE is not set), so that worktrees of one
# checkout share their objects.
configure_once() {
  local folder=$1
  shift
  local launcher=()
  if [ -z "${CCACHE_DISABLE:-}" ] && command -v ccache >/dev/null 2>&1; then
    export CCACHE_BASEDIR="$root"
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  fi
  if [ ! -f "$folder/CMakeCache.txt" ]; then
    cmake "$@" "${launcher[@]}" >/dev/null
  fi
}
