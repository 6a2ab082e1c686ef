#!/usr/bin/env bash
# Runs the README's commands exactly as written, from a folder laid out as
# the repository's root after scripts/build.sh (its entries linked, build/
# the real one), then checks what they promise: the SDK, both builds of the
# example, the local trial's update, and a program built the way Microsoft's
# toolchain builds one, linked through the SDK's import library.
#
# A block runs when the line before its ```sh fence is "<!-- readme-check N
# -->": every marked block, in the order of N (README order for equal N), in
# one bash session that stops at the first failing command. A section that
# needs another's files takes a larger N; a new section marks its blocks the
# same way.
#
#   tests/sdk/readme_check.sh <source folder> <build folder> <scratch folder> <version>
set -euo pipefail
source=$1 build=$2 work=$3 version=$4
wine="$source/scripts/wine.sh"
fail() {
  printf 'readme check: %b\n' "$*" >&2
  exit 1
}

rm -rf "$work"
mkdir -p "$work"
for entry in "$source"/*; do
  case ${entry##*/} in build*) ;; *) ln -s "$entry" "$work/" ;; esac
done
ln -s "$build" "$work/build"

# Each marked line as "<N> <block number> <text>", the block's indentation
# (a block inside a list item) taken off, then ordered and unwrapped.
blocks=$(awk '
  inside && $0 == indent "```" { inside = 0; next }
  inside { printf "%06d %06d %s\n", step, count, substr($0, length(indent) + 1); next }
  marked && /^ *```sh$/ { inside = 1; indent = $0; sub(/```sh$/, "", indent); count++ }
  { marked = 0 }
  /^ *<!-- readme-check [0-9]+ -->$/ { marked = 1; step = $3 }
' "$source/README.md" | sort -s -n -k1,1 -k2,2 | cut -d' ' -f3-)
[ -n "$blocks" ] || fail "no block of README.md is marked"
(cd "$work" && bash -xeuo pipefail -c "$blocks") ||
  fail "a command of README.md failed as written; the trace above ends with it"
cd "$work"

for file in include/loftswitch/app.h lib/libloftswitch_app.a lib/loftswitch-app.dll.a \
  lib/loftswitch-app.lib lib/loftswitch-app.def lib/cmake/loftswitch/mingw-w64-x86_64.cmake; do
  [ -f "sdk/$file" ] || fail "the SDK has no $file"
done
# The README shows the update loop as examples/update/main.c holds it, and
# the loop builds against the SDK.
python3 -c 'import sys; sys.exit(open(sys.argv[1]).read() not in open(sys.argv[2]).read())' \
  "$source/examples/update/main.c" "$source/README.md" ||
  fail "README.md does not show examples/update/main.c as it is"
x86_64-w64-mingw32-gcc "$source/examples/update/main.c" -o update.exe \
  $(PKG_CONFIG_LIBDIR=sdk/lib/pkgconfig pkg-config --cflags --static --libs loftswitch-app)
for program in sdk/bin/loftswitch-apply.exe sdk/bin/loftswitch-pack.exe \
  sdk/bin/loftswitch-app-1.dll startup.exe build-example/startup.exe update.exe; do
  [[ $program != sdk/* || "$(stat -c %s "$program")" -le 2936012 ]] || fail "$program is larger than 2.8 MB"
  cmake -DOBJDUMP=x86_64-w64-mingw32-objdump -DPROGRAM="$program" \
    -P "$source/cmake/check_imports.cmake" >/dev/null || fail "$program imports a DLL not of Windows"
done
for tool in loftswitch-apply loftswitch-pack; do
  said=$("$wine" "sdk/bin/$tool.exe" --version)
  [ "$said" = "$tool $version" ] || fail "$tool --version says \"$said\", the project is $version"
done
# A refusal names the signing key by the id that keygen and public-key print.
release=$("$wine" sdk/bin/loftswitch-pack.exe public-key release.key 2>&1 >/dev/null)
"$wine" sdk/bin/loftswitch-pack.exe keygen other.key 2>other.id >other.pub
other=$(cat other.id)
said=$("$wine" sdk/bin/loftswitch-pack.exe verify --app myapp --public-key "$(cat other.pub)" \
  --signed signed.json myapp-1.5.0.zip 2>&1) && fail "a package signed with another key verified"
[[ "$said" == *"say key ${release#key id } signed them, but this install trusts key ${other#key id }:"* ]] ||
  fail "the refusal doesn't name the keys by the ids printed ($release, $other):\n$said"
mkdir fresh
abi=$(awk '/^#define LOFTSWITCH_ABI_M(AJOR|INOR) / { printf "%s%s", sep, $3; sep = "." }' "$source/include/loftswitch/app.h")
for example in startup.exe build-example/startup.exe; do
  said=$("$wine" "$example" fresh | tr -d '\r')
  [ "$said" = "loftswitch $version, ABI $abi
nothing to confirm: this start is not an update's relaunch
no update to report" ] || fail "$example printed:\n$said"
done

# The trial's relaunched 1.5.0 told its outcome once, and the tool saw it.
journal=install/.loftswitch/journal.json
for _ in $(seq 100); do
  grep -qs '"reported": true' "$journal" && grep -qs "finished: updated" install/.loftswitch/logs/*-apply.log && break
  sleep 0.2
done
grep -q '"state": "confirmed"' "$journal" || fail "the trial's update was not confirmed:\n$(cat "$journal")"
grep -q '"reported": true' "$journal" || fail "version 1.5.0 didn't tell the trial's outcome"
grep -qs "finished: updated" install/.loftswitch/logs/*-apply.log || fail "the trial's tool didn't finish"

# Microsoft's toolchain, played by clang and lld-link: the header compiles as
# C and C++, and find_package(loftswitch) links a program through
# loftswitch-app.lib that reads, through the DLL, an outcome as the tool
# leaves it after a crash: the trial's journal, rolled back and not told.
for language in c c++; do
  clang-16 --target=x86_64-pc-windows-msvc -fsyntax-only -x $language -Wall -Wextra -pedantic \
    -Werror -DLOFTSWITCH_APP_DLL -Isdk/include sdk/include/loftswitch/app.h ||
    fail "the header doesn't compile as $language for windows-msvc"
done
cmake -S "$source/tests/sdk/msvc" -B msvc -DCMAKE_PREFIX_PATH="$work/sdk" \
  -DCMAKE_TOOLCHAIN_FILE="$source/tests/sdk/msvc/toolchain.cmake" >/dev/null
cmake --build msvc >/dev/null
cp sdk/bin/loftswitch-app-1.dll msvc/
mkdir -p crashed/.loftswitch
detail="the new version exited with code 0xC0000005 (access violation) before it finished starting"
sed -e 's/"state": "confirmed"/"state": "rolled-back"/' -e 's/"reported": true/"reported": false/' \
  -e 's/"result": "updated"/"result": "rolled-back"/' -e 's/"reason": ""/"reason": "exited"/' \
  -e "s/\"detail\": \"\"/\"detail\": \"$detail\"/" "$journal" >crashed/.loftswitch/journal.json
said=$(cd crashed && "$wine" ../msvc/outcome-reader.exe | tr -d '\r')
[ "$said" = "abi compatible 1
read 0 present 1 result 2 reason 6
1.4.0 1.5.0
rolled-back exited $detail
marked 0" ] || fail "the program linked through loftswitch-app.lib printed:\n$said"
grep -q '"reported": true' crashed/.loftswitch/journal.json ||
  fail "marking the outcome reported through loftswitch-app.lib changed nothing"
echo "readme check: every marked command ran as written, and the SDK serves both toolchains"
