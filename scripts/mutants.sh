#!/usr/bin/env bash
# Injects a fixed list of plausible faults (a flipped comparison, a dropped
# call, an off-by-one) into a scratch copy of the sources under
# build-mutants/, one at a time, rebuilds the native lane's tests for each and
# reports how many the tests catch. The work tree is never changed.
#
#   scripts/mutants.sh [pattern]   only the mutants whose file or name matches
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
filter=${1:-}
scratch="$root/build-mutants"
tree="$scratch/tree"
build="$scratch/build"

# file @@ text found exactly once @@ its replacement @@ the fault
mutants=$(cat <<'EOF'
src/json/strict_json.cpp @@ open_.size() >= maxDepth_ @@ open_.size() > maxDepth_ @@ one level too many is allowed
src/json/strict_json.cpp @@ throw Violation("duplicate key @@ if (false) throw Violation("duplicate key @@ duplicate keys pass
src/json/strict_json.cpp @@ if (number <= max) return number; @@ if (number < max) return number; @@ an integer at its maximum is refused
src/workspace/journal.cpp @@ || *version != 1) @@ || *version < 1) @@ a later journal version is read as version 1
src/workspace/journal.cpp @@ if (!isAttemptId(journal.id)) reader.record @@ if (false) reader.record @@ any id is taken as an attempt id
src/workspace/journal.cpp @@ || !toLocation || path.empty()) @@ || !toLocation) @@ a move of an empty path is read
src/workspace/journal.cpp @@ if (journal.outcome) { @@ if (false) { @@ the outcome is not written
src/elevated/validate.cpp @@ if (text.empty() || text.size() > 64) return false; @@ if (text.empty() || text.size() > 65) return false; @@ a 65-byte name is valid
src/elevated/validate.cpp @@ component == "." || component == ".." @@ component == "." @@ ".." passes as a relative path component
src/elevated/validate.cpp @@ if (padding == 1 && (bits & 0xFF) != 0) return std::nullopt; @@ ; @@ base64 with spare bits set is decoded
src/elevated/validate.cpp @@ if (c >= 'a' && c <= 'f') return c - 'a' + 10; @@ if (c >= 'a' && c <= 'g') return c - 'a' + 10; @@ 'g' is a hex digit
src/elevated/version.cpp @@ if (components.size() > 4) return std::nullopt; @@ if (components.size() > 5) return std::nullopt; @@ five version numbers are read
src/elevated/version.cpp @@ return a.preRelease.empty() ? 1 : -1; @@ return a.preRelease.empty() ? -1 : 1; @@ a pre-release is newer than its release
src/elevated/version.cpp @@ if (aNumeric) return -1; @@ if (aNumeric) return 1; @@ numeric pre-release identifiers sort after others
src/elevated/request.cpp @@ if (request.size < 1) { @@ if (request.size > kMaxSize) { @@ a package size of 0 is accepted
src/elevated/request.cpp @@ constexpr std::uint64_t kMaxWaitMs = 3600000; @@ constexpr std::uint64_t kMaxWaitMs = 36000000; @@ waits up to ten hours are accepted
src/elevated/request.cpp @@ const bool required = !request.repair; @@ const bool required = false; @@ an install request may leave out its package fields
src/package/entry_rules.cpp @@ accepted.components.size() > kMaxDepth @@ accepted.components.size() > kMaxDepth + 1 @@ 129 components pass
src/package/entry_rules.cpp @@ component.back() == '.' || component.back() == ' ' @@ component.back() == '.' @@ a trailing space passes
src/package/entry_rules.cpp @@ while (!stem.empty() && stem.back() == ' ') stem.pop_back(); @@ ; @@ "nul .txt" is not a device
src/package/entry_rules.cpp @@ if (upperCaseKey(accepted.components.front()) == ".LOFTSWITCH") @@ if (accepted.components.front() == ".LOFTSWITCH") @@ ".loftswitch" in lower case passes
src/package/entry_rules.cpp @@ if (path.front() == '/') @@ if (name.front() == '/') @@ a name starting with a backslash passes
src/package/package_reader.cpp @@ const std::string key = upperCaseKey(joinedPath(components)); @@ const std::string key = joinedPath(components); @@ entries differing in case both pass
src/package/package_reader.cpp @@ if (other.kind != PackageEntryKind::file) continue; @@ if (other.kind == PackageEntryKind::file) continue; @@ an entry inside a file passes
src/package/package_reader.cpp @@ if (type == kTypeLink) return @@ if (type == kTypeLink && name.empty()) return @@ symbolic links are extracted
src/package/package_reader.cpp @@ reader.declaredTotal_ += entry.declaredSize; @@ ; @@ the total declared size is not counted
src/package/package_reader.cpp @@ if (written != entry.declaredSize) { @@ if (written > entry.declaredSize) { @@ a short entry passes
src/package/zip_archive.cpp @@ && crc != record.crc32) { @@ && false) { @@ the CRC-32 is not checked
src/swap/swap_plan.cpp @@ moveToEnd(oldNames, topName); @@ moveToEnd(oldNames, ""); @@ the executable leaves the install before the rest
src/swap/swap_plan.cpp @@ if (folded == ".loftswitch" || keptTopNames.contains(folded)) continue; @@ if (folded == ".loftswitch") continue; @@ a preserved entry is also backed up
src/swap/swapper.cpp @@ std::min(made + 1, moves.size()) @@ std::min(made, moves.size()) @@ the move after the last mark is not undone
src/swap/swapper.cpp @@ attempt < retryAttempts_) { @@ attempt <= retryAttempts_) { @@ one try too many
src/swap/swapper.cpp @@ RETURN_IF_ERROR(setAsideWhatTheNewVersionMade(moves)); @@ (void)0; @@ what the new version made beside both versions stays in the install
src/elevated/ed25519.cpp @@ if (!belowGroupOrder(s)) return false; @@ if (false && !belowGroupOrder(s)) return false; @@ a signature with S + L verifies
src/package/package_reader.cpp @@ if (i > 0 && spans[i].start < spans[i - 1].end) { @@ if (false) { @@ overlapping entries pass
src/swap/swapper.cpp @@ RETURN_IF_ERROR(fileSystem_.append(progress, "+")); @@ (void)fileSystem_.append(progress, "+"); @@ a lost progress mark is ignored
src/apply/run.cpp @@ journal.moves.clear(); @@ ; @@ a plan that was never saved is undone
src/apply/run.cpp @@ journal.reported = false; @@ ; @@ a rollback keeps the old reported flag
src/elevated/verify.cpp @@ compareVersions(*offered, *installed) <= 0 @@ compareVersions(*offered, *installed) < 0 @@ the installed version is installed again
src/delta/delta_rebuild.cpp @@ if (!read || read->size() != base->size || Sha256::digest(*read) != base->sha256) { @@ if (!read) { @@ a patch's base is used without its digest checked
src/delta/delta_rebuild.cpp @@ RETURN_IF_ERROR(checkDigest(hash, file.path, base->sha256, opened->changed(base->path))); @@ (void)0; @@ a file taken unchanged from the install is not checked
src/delta/delta_rebuild.cpp @@ RETURN_IF_ERROR(pour(*reader, *opened, *base, sink)); @@ RETURN_IF_ERROR(pour(*reader, *opened, *base, sink)); RETURN_IF_ERROR(fs.remove(below(install, base->path))); @@ a file taken unchanged is taken from the install, not copied (as a link would share it)
src/delta/delta_rebuild.cpp @@ RETURN_IF_ERROR(checkDigest(hash, file.path, file.sha256, wrong)); @@ (void)0; @@ a rebuilt file is not checked against the manifest
src/delta/delta_rebuild.cpp @@ RETURN_IF_ERROR(openRead(fs, install, *opened, read)); @@ (void)0; @@ a missing file of the install is found only after files were written
src/delta/delta_manifest.cpp @@ ASSIGN_OR_RETURN(const AcceptedName name, checkEntryName(record.path)); @@ const AcceptedName name{{record.path}, false}; @@ a manifest's file paths skip the entry rules
src/delta/delta_manifest.cpp @@ ASSIGN_OR_RETURN(const AcceptedName name, checkEntryName(folder)); @@ const AcceptedName name{{folder}, false}; @@ a manifest's folders skip the entry rules
src/delta/delta_manifest.cpp @@ entries.emplace(upperCaseKey(file.path), @@ entries.emplace(file.path, @@ manifest paths that differ in case both pass
src/delta/delta_manifest.cpp @@ if (file.data.empty() && (base.size != file.size || base.sha256 != file.sha256)) { @@ if (false) { @@ a file is taken unchanged from an install file of other content
src/elevated/verify.cpp @@ if (delta) message += "from=" + request.from + "\n"; @@ ; @@ a delta's signature doesn't bind the version it applies to
src/elevated/verify.cpp @@ if (!request.from.empty() && request.from != description.version) { @@ if (false) { @@ a delta for another installed version is staged
src/elevated/elevated.cpp @@ return rebuildDelta(reader, fileSystem_, config_.installFolder, staged, @@ return rebuildDelta(reader, fileSystem_, request_.install, staged, @@ the helper rebuilds from the install the user's request names
EOF
)

cd "$root"
mkdir -p "$tree"
# Only files that differ are copied, so that the scratch build stays
# incremental between runs and a file left mutated by a stopped run is
# rebuilt.
git ls-files -z | while IFS= read -r -d '' file; do
  if ! cmp -s "$file" "$tree/$file"; then
    mkdir -p "$tree/$(dirname "$file")"
    cp "$file" "$tree/$file"
  fi
done
# Files the project no longer has go from the copy too.
comm -23 <(cd "$tree" && find . -type f -printf '%P\n' | sort) <(git ls-files | sort) |
  while IFS= read -r gone; do rm -f "$tree/$gone"; done
progress="$scratch/progress.log"
: >"$progress"

configure_and_build() {
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$tree" --preset native -B "$build" >/dev/null
  fi
  cmake --build "$build" -j"$(nproc)" -- --no-print-directory -s >"$scratch/build.log" 2>&1
}
run_tests() {
  ctest --test-dir "$build" -j"$(nproc)" --timeout 120 --stop-on-failure >"$scratch/test.log" 2>&1
}

if ! configure_and_build || ! run_tests; then
  echo "mutants: the unchanged sources do not build or pass (see $scratch)" >&2
  exit 1
fi

total=0
caught=0
survivors=()
while IFS= read -r line; do
  [ -n "$line" ] || continue
  file=${line%% @@ *}; rest=${line#* @@ }
  old=${rest%% @@ *}; rest=${rest#* @@ }
  new=${rest%% @@ *}; fault=${rest#* @@ }
  [ -z "$filter" ] || [[ "$file $fault" == *"$filter"* ]] || continue
  target="$tree/$file"
  if [ "$(grep -cF -- "$old" "$target")" -ne 1 ]; then
    echo "mutant does not apply: $file: $old" >&2
    exit 1
  fi
  cp "$target" "$scratch/original"
  OLD="$old" NEW="$new" perl -pi -e 's/\Q$ENV{OLD}\E/$ENV{NEW}/' "$target"
  total=$((total + 1))
  if ! configure_and_build; then
    verdict="not built"
  elif run_tests; then
    verdict="survived"
  else
    verdict="caught"
    caught=$((caught + 1))
  fi
  [ "$verdict" = caught ] || survivors+=("$verdict: $file: $fault")
  echo "$verdict: $file: $fault" >>"$progress"
  cp "$scratch/original" "$target"
done <<<"$mutants"

# Leave the scratch build matching the sources again.
configure_and_build || true
echo "mutants: $caught of $total caught"
for survivor in "${survivors[@]}"; do echo "  $survivor"; done
