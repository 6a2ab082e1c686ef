# Sourced. The C libraries that Debian ships for Linux only, cross-built for
# the Windows build from Debian's own source packages (the version apt would
# install, Debian's patches applied; scripts/debian_source.sh), static, into
# one prefix that CMake searches:
#
#   mingw_libraries   builds every library below that is missing or whose
#                     Debian version changed; nothing when all are there
#
# One function per library. Each builds only the library (no tests, no
# programs) and records the Debian version it built, so that a second run
# costs nothing. Everything lives under build/ and goes with it.
source "$root/scripts/debian_source.sh"

mingw_host=x86_64-w64-mingw32
mingw_prefix="$root/build/mingw"
mingw_cache="$root/build/debian"

# Configures and builds one autotools library out of its source tree, then
# installs it into the prefix. `$1` names it, `$2` is the folder to make and
# install in (relative to the build folder); the rest goes to configure. A
# tree without its configure script gets one as Debian's build makes it.
mingw_autotools_build() {
  local name=$1 subfolder=$2
  shift 2
  local work="$mingw_cache/build-$name"
  rm -rf "$work"
  mkdir -p "$work"
  echo "building $name $debian_source_version for Windows"
  if ! ( { [ -x "$debian_source_dir/configure" ] || (cd "$debian_source_dir" && autoreconf -fi); } &&
        cd "$work" &&
        "$debian_source_dir/configure" --host="$mingw_host" --prefix="$mingw_prefix" \
          --disable-shared --enable-static --disable-dependency-tracking "$@" &&
        make -j2 -C "$subfolder" &&
        make -C "$subfolder" install) >"$mingw_cache/$name.log" 2>&1; then
    echo "mingw_libraries: $name did not build (see $mingw_cache/$name.log)" >&2
    return 1
  fi
  rm -rf "$work"
}

# libsodium: the Ed25519 signatures (with their SHA-512) that guard every
# install. Minimal: signing, verifying and hashing, nothing more. No stack
# protector: mingw's comes as a DLL, and the tool imports system DLLs only.
mingw_libsodium() {
  debian_source libsodium libsodium-dev "$mingw_cache" || return 1
  local stamp="$mingw_prefix/.libsodium-$debian_source_version"
  [ -f "$stamp" ] && return 0
  rm -f "$mingw_prefix"/.libsodium-*
  mingw_autotools_build libsodium src/libsodium --enable-minimal --disable-ssp \
    CFLAGS="-Os -ffunction-sections -fdata-sections" || return 1
  touch "$stamp"
}

# libzstd: decodes delta packages in every program, and encodes them in
# loftswitch-pack alone. Two archives: the decoder with the code both share,
# and the encoder, which only loftswitch-pack links. The library's C sources
# only, as its own Makefile compiles them: no legacy formats, no assembly
# (its directives are ELF's), -O2 for the decoder's loop over every byte.
mingw_libzstd() {
  debian_source libzstd libzstd-dev "$mingw_cache" || return 1
  local stamp="$mingw_prefix/.libzstd-$debian_source_version"
  [ -f "$stamp" ] && return 0
  rm -f "$mingw_prefix"/.libzstd-* "$mingw_prefix"/lib/libzstd_*.a
  local lib="$debian_source_dir/lib" work="$mingw_cache/build-libzstd"
  local compiler=("$mingw_host-gcc")
  if command -v ccache >/dev/null; then compiler=(ccache "$mingw_host-gcc"); fi
  rm -rf "$work"
  mkdir -p "$work"/{common,decompress,compress} "$mingw_prefix/lib" "$mingw_prefix/include"
  echo "building libzstd $debian_source_version for Windows"
  if ! ( cd "$work" &&
        for source in "$lib"/{common,decompress,compress}/*.c; do
          part=${source%/*}
          printf '%s\0%s\0' "${part##*/}/$(basename "$source" .c).o" "$source"
        done | xargs -0 -n2 -P2 "${compiler[@]}" -O2 -ffunction-sections -fdata-sections \
          -DZSTD_LEGACY_SUPPORT=0 -DZSTD_DISABLE_ASM -DXXH_NAMESPACE=ZSTD_ -c -o &&
        "$mingw_host-ar" rcs "$mingw_prefix/lib/libzstd_decoder.a" common/*.o decompress/*.o &&
        "$mingw_host-ar" rcs "$mingw_prefix/lib/libzstd_encoder.a" compress/*.o &&
        cp "$lib/zstd.h" "$lib/zstd_errors.h" "$mingw_prefix/include/") \
      >"$mingw_cache/libzstd.log" 2>&1; then
    echo "mingw_libraries: libzstd did not build (see $mingw_cache/libzstd.log)" >&2
    return 1
  fi
  rm -rf "$work" "$mingw_prefix/libzstd-source.txt"
  touch "$stamp"
}

mingw_libraries() {
  mkdir -p "$mingw_prefix" "$mingw_cache"
  # A machine whose package lists were cleared knows no version to fetch.
  if ! apt-cache policy libsodium-dev | grep -q 'Candidate: [0-9]'; then apt-get update -qq; fi
  mingw_libsodium
  mingw_libzstd
}
