# Sourced. The source of a C library that Debian ships for Linux only, so
# that the Windows build can cross-compile exactly what Debian ships.
#
#   debian_source <source package> <binary package> <cache folder>
#
# fetches the source package of the version apt would install of the binary
# package (security updates included), through a sources list of our own:
# the machine's apt configuration, lists and cache stay as they were. When
# the archive does not serve that version's source, the newest version it
# does serve is taken instead, and the log says so. Every file is checked
# against the SHA-256 sums of its .dsc (whose own sum apt checks against the
# signed index) and unpacked with Debian's patches applied. Sets
# `debian_source_dir` to the unpacked tree and `debian_source_version` to
# its version; a tree unpacked before is reused as it is.
debian_source() {
  local source=$1 binary=$2 cache=$3
  local apt_dir="$cache/apt"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$cache/src"
  cat >"$apt_dir/sources.list" <<'EOF'
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm-updates main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian-security bookworm-security main
EOF
  local apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=-
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")

  local wanted
  wanted=$(apt-cache policy "$binary" | awk '/Candidate:/ { print $2 }')
  if [ -z "$wanted" ] || [ "$wanted" = "(none)" ]; then
    echo "debian_source: apt knows no version of $binary; run apt-get update" >&2
    return 1
  fi
  # Which version stands in for the wanted one, once it has been fetched.
  local record="$cache/src/$source-for-$wanted"
  if [ -f "$record" ] && [ -f "$cache/src/$source-$(cat "$record")/.verified" ]; then
    debian_source_version=$(cat "$record")
    debian_source_dir="$cache/src/$source-$debian_source_version"
    return 0
  fi

  apt-get "${apt_options[@]}" -qq update >/dev/null
  local versions
  versions=$(apt-cache "${apt_options[@]}" showsrc "$source" | awk '/^Version:/ { print $2 }' |
    sort -u | sort -r -V)
  local version fetched="" tried_wanted=""
  local downloads="$cache/download"
  for version in "$wanted" $versions; do
    [ "$version" = "$wanted" ] && [ -n "$tried_wanted" ] && continue
    tried_wanted=1
    rm -rf "$downloads" && mkdir -p "$downloads"
    if (cd "$downloads" && apt-get "${apt_options[@]}" -qq source --download-only \
          "$source=$version" >/dev/null 2>&1); then
      fetched=$version
      break
    fi
    echo "debian_source: the archive did not serve $source $version" >&2
  done
  if [ -z "$fetched" ]; then
    echo "debian_source: no version of $source could be fetched" >&2
    return 1
  fi
  if [ "$fetched" != "$wanted" ]; then
    echo "debian_source: building $source $fetched, not $wanted, whose source the archive did not serve" >&2
  fi

  local dsc
  dsc=$(ls "$downloads"/*.dsc)
  # The sums the .dsc lists, each checked; a file it does not list is not used.
  local sums
  sums=$(awk '/^Checksums-Sha256:/ { on = 1; next } /^[^ ]/ { on = 0 } on && NF == 3 { print $1 "  " $3 }' "$dsc")
  if [ -z "$sums" ]; then
    echo "debian_source: $dsc lists no SHA-256 sums" >&2
    return 1
  fi
  if ! (cd "$downloads" && sha256sum --quiet --check <<<"$sums"); then
    echo "debian_source: $source $fetched does not match the sums in its .dsc" >&2
    return 1
  fi

  local tree="$cache/src/$source-$fetched"
  rm -rf "$tree"
  # The sums were checked above; the maintainer's signature is the archive's
  # to check, whose signed index vouches for the .dsc.
  dpkg-source --no-check -x "$dsc" "$tree" >/dev/null
  rm -f "$cache/src/"*.orig.*
  touch "$tree/.verified"
  echo "$fetched" >"$record"
  rm -rf "$downloads"
  debian_source_dir=$tree
  debian_source_version=$fetched
}
