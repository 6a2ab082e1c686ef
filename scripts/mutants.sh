#!/usr/bin/env bash
# Injects a fixed list of plausible faults (a flipped comparison, a dropped
# call, an off-by-one) into a scratch copy of the sources under
# build-mutants/, one at a time, rebuilds the native lane's tests for each
# (the Wine lane's for the second list) and reports how many the tests
# catch. The work tree is never changed.
#
#   scripts/mutants.sh [pattern]   only the mutants whose file or name matches
#                                  the pattern (an extended regular expression)
#   scripts/mutants.sh --sample N --seed S [pattern]
#                                  N mutants drawn by seed S from the usual
#                                  operators over the portable sources; one the
#                                  native lane lets live goes on to the Wine lane.
#                                  With a pattern, only the drawn mutants whose
#                                  file or line matches it are run
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
filter=${1:-}
sample=0
if [ "$filter" = --sample ]; then
  [ $# -ge 4 ] && [ $# -le 5 ] && [ "$3" = --seed ] && [[ "$2$4" =~ ^[0-9]+$ ]] ||
    { echo "usage: scripts/mutants.sh --sample N --seed S [pattern]" >&2; exit 64; }
  sample=$2
  seed=$4
  filter=${5:-}
fi
scratch="$root/build-mutants"
tree="$scratch/tree"
build="$scratch/build"

# file @@ text found exactly once @@ its replacement @@ the fault
mutants=$(cat <<'EOF'
src/elevated/waiter.cpp @@ const std::string text = std::to_string(static_cast<std::int32_t>(*code)); @@ const std::string text = std::to_string(*code); @@ an early exit reaches the administrator's helper without its sign
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
src/elevated/ed25519.cpp @@ if (signature.size() != crypto_sign_BYTES || publicKey.size() != crypto_sign_PUBLICKEYBYTES || @@ if ( @@ a signature or key of the wrong length reaches the library
src/package/package_reader.cpp @@ if (i > 0 && spans[i].start < spans[i - 1].end) { @@ if (false) { @@ overlapping entries pass
src/swap/swapper.cpp @@ RETURN_IF_ERROR(fileSystem_.append(progress, "+")); @@ (void)fileSystem_.append(progress, "+"); @@ a lost progress mark is ignored
src/apply/run.cpp @@ journal.moves.clear(); @@ ; @@ a plan that was never saved is undone
src/apply/run.cpp @@ journal.reported = false; @@ ; @@ a rollback keeps the old reported flag
src/elevated/verify.cpp @@ compareVersions(*offered, *installed) <= 0 @@ compareVersions(*offered, *installed) < 0 @@ the installed version is installed again
src/elevated/elevated.cpp @@ if (auto removed = fileSystem_.remove(leftover); !removed) { @@ if (auto removed = fileSystem_.remove(leftover); false) { @@ a stale stage that can't be removed is passed over
src/elevated/elevated.cpp @@ if (auto retired = retire(previousId); !retired) { @@ if (auto retired = retire(previousId); false) { @@ a previous stage that can't be retired is only logged
src/elevated/elevated.cpp @@ RETURN_IF_ERROR(config_.createRestricted(scratch)); @@ RETURN_IF_ERROR(fileSystem_.createFolders(scratch)); @@ the package is verified in a folder with the permissions it inherits
src/elevated/elevated.cpp @@ if (placed) placed = config_.inheritPermissions(staged); @@ if (false) placed = config_.inheritPermissions(staged); @@ the stage keeps the administrator-only permissions into the install
src/elevated/elevated.cpp @@ Result<OpenFile> source = config_.openAsUser(request_.package); @@ Result<OpenFile> source = openFile(request_.package, OpenMode::read); @@ the user's package is opened with the helper's rights
src/elevated/elevated.cpp @@ if (config_.openAsUser(confirmedMarkerPath(request_))) return confirm(); @@ if (fileSystem_.exists(confirmedMarkerPath(request_))) return confirm(); @@ the user's marker is looked for with the helper's rights
src/elevated/elevated.cpp @@ if (auto trusted = checkTrustedFile(descriptionPath); !trusted) return @@ if (auto trusted = checkTrustedFile(descriptionPath); false) return @@ a loftswitch.json that users can change is trusted
src/elevated/elevated.cpp @@ if (auto trusted = checkTrustedFile(program); !trusted) return @@ if (auto trusted = checkTrustedFile(program); false) return @@ a tool or executable that users can change is run
src/elevated/elevated.cpp @@ if (std::optional<Refusal> refusal = verifyRequest()) { @@ if (std::optional<Refusal> refusal = (settlePreviousJournal(), verifyRequest())) { @@ the previous journal is settled before the package is verified
src/elevated/elevated.cpp @@ if (std::optional<std::string> refusal = environmentRefusal()) { @@ if (std::optional<std::string> refusal = (config_.changesBegin(), environmentRefusal())) { @@ the log is written before the request is checked
src/package/entry_rules.cpp @@ if (isShortNameAlias(component)) { @@ if (false && isShortNameAlias(component)) { @@ a short-name alias passes
src/package/entry_rules.cpp @@ if (characters(base) > 8 || characters(extension) > 3 || @@ if (characters(base) > 9 || characters(extension) > 3 || @@ a nine-character base counts as a short name
src/package/entry_rules.cpp @@ if (byte < 0x20 || byte == 0x7F || isC1Control(component, at)) { @@ if (byte < 0x20 || byte == 0x7F) { @@ C1 control characters pass in names
src/package/entry_rules.cpp @@ if (length == 0 || byte < 0x20 || byte == 0x7F || isC1Control(name, at)) { @@ if (length == 0 || byte < 0x20 || byte == 0x7F) { @@ C1 control characters reach messages unescaped
src/package/entry_rules.cpp @@ return number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3"; @@ return false; @@ COM with a superscript digit is no device
src/package/entry_rules.cpp @@ return number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3"; @@ return number.size() == 2; @@ "comic.png" names a device
src/package/zip_archive.cpp @@ if (directory.offset + directory.size != directoryLimit) { @@ if (false) { @@ bytes between the central directory and the end record pass
src/app/file_log.cpp @@ (void)writeAll(*state_->file, earlier); @@ ; @@ what a held log recorded before it opened is lost
src/package/zip_archive.cpp @@ if (wantOffset) record.localHeaderOffset = le64(field, at), at += 8; @@ if (wantOffset) record.localHeaderOffset = le64(field, 16), at += 8; @@ a Zip64 field holding only the offset is read where the sizes would be
src/swap/swapper.cpp @@ const std::filesystem::path root = keptFolder(workspace_, attemptId_); @@ const std::filesystem::path root = stageFolder(workspace_, attemptId_) / "aside"; @@ what a rollback sets aside is deleted at the next staging
src/swap/swapper.cpp @@ if (moved == EntryKind::missing && i < made && move.to == Location::backup && @@ if (false && @@ a missing backup entry still ends rolled back
src/swap/swapper.cpp @@ if (!fileSystem.exists(reserve) || !fileSystem.remove(reserve)) return written; @@ if (true || !fileSystem.exists(reserve) || !fileSystem.remove(reserve)) return written; @@ on a full disk the undo stops for good
src/lib/attempt.cpp @@ if (journal && interrupted(*journal)) return needsRepair @@ if (false) return needsRepair @@ the app never learns that a repair is needed
src/swap/swap_plan.cpp @@ if (!isSafeMovePath(path)) { @@ if (false) { @@ a preserve entry that staging accepts makes every apply roll back
src/apply/run.cpp @@ if (!journal && journal.error().code == ErrorCode::notFound) { @@ if (!journal) { @@ a journal too large to read is nothing to do
src/lib/stage.cpp @@ if (!fits) return std::unexpected(packageFailure(fits.error())); @@ ; @@ a plan that can't be journaled is staged
src/swap/swapper.cpp @@ const bool wasMade = i < made || inTheWay == EntryKind::missing || move.to != Location::target; @@ const bool wasMade = true; @@ a move that failed because its destination existed is undone
src/swap/swap_plan.cpp @@ if (other == folded || other.starts_with(folded + "/")) { @@ if (false) { @@ preserving the executable or the tool is accepted
src/apply/run.cpp @@ return lock.error().code == ErrorCode::locked ? RunOutcome::busy : RunOutcome::failed; @@ return RunOutcome::busy; @@ every lock error reads busy
src/apply/run.cpp @@ if (!journal.moves.empty()) { @@ if (false) { @@ the rollback doesn't wait for the install's other programs
src/apply/run.cpp @@ // version running, and leaves its install alone. @@ lock = WorkspaceLock(); @@ a repair can roll back a version that is being started
src/apply/run.cpp @@ journal.keptBytes = bytes.value_or(kUnknownKeptBytes); @@ journal.keptBytes = bytes.value_or(0); @@ a kept folder that can't be measured reads as empty
src/apply/run.cpp @@ if (Result<EntryKind> set = fileSystem.probe(kept); !set || *set != EntryKind::missing) { @@ if (fileSystem.exists(kept)) { @@ a kept folder that can't be looked at goes unnamed
src/workspace/journal.cpp @@ if (journal.keptBytes != kUnknownKeptBytes) root @@ root @@ an unknown kept size is written as a number
src/apply/run.cpp @@ const bool untouched = journal.moves.empty(); @@ const bool untouched = false; @@ a rollback with nothing moved is recorded as pending first
src/elevated/package_contract.cpp @@ names->size() == 1 && @@ names->size() == 2 && @@ a zip of one folder is refused without saying so
src/elevated/key_id.cpp @@ signerTrusted = signerTrusted || id == request.keyId; @@ signerTrusted = false; @@ a refusal blames the key when the signed fields changed
src/elevated/verify.cpp @@ return fail(sizeMismatch(std::max(size, total), limit)); @@ (void)size; return fail(ErrorCode::sizeMismatch, "the package is larger than its signed size"); @@ a grown package is refused without its sizes
src/elevated/verify.cpp @@ (actual < signedSize ? "the download is incomplete, or " : "") + @@ (actual > signedSize ? "the download is incomplete, or " : "") + @@ a longer package is called incomplete
src/elevated/elevated.cpp @@ return describeExitCode(static_cast<std::uint32_t>(value)); @@ return std::to_string(value); @@ the helper shows a crash as a negative number
src/feed/feed_check.cpp @@ feed->published < same->published @@ feed->published + 1 < same->published @@ a feed older than the remembered one is accepted
src/feed/feed_check.cpp @@ if (feed->channel != check.channel) { @@ if (false) { @@ a feed of another channel is accepted
src/feed/feed_check.cpp @@ if (feed->expires <= check.now) { @@ if (feed->expires < check.now) { @@ a feed is accepted at the second it expires
src/feed/feed_check.cpp @@ feed->published > check.now + kClockSkewSeconds @@ feed->published >= check.now + kClockSkewSeconds @@ a feed at the edge of the clock skew is refused
src/feed/feed.cpp @@ std::max(publication.now, *previous + 1) @@ publication.now @@ publishing with a clock behind moves the feed back in time
src/download/download.cpp @@ if (count > target_.size - have_) { @@ if (count > target_.size - have_ + 1) { @@ a byte past the signed size is written
src/download/download.cpp @@ status >= 500 ? ErrorCode::unavailable @@ status >= 400 ? ErrorCode::unavailable @@ a 4xx answer is tried again
src/download/download.cpp @@ : response.etag == state_.etag; @@ : true; @@ a resume is not validated by its ETag
src/download/download.cpp @@ if (have_ > before) backoff.progressed(); @@ (void)before; @@ a download that keeps moving is given up after five cuts
src/download/url.cpp @@ if (allowHttp || isLoopbackHost(url.host)) return Unit{}; @@ if (allowHttp || !url.host.empty() || isLoopbackHost(url.host)) return Unit{}; @@ plain http is fetched from anywhere
src/download/download.cpp @@ RETURN_IF_ERROR(checkFetchable(next, allowHttp, false)); @@ RETURN_IF_ERROR(checkFetchable(next, allowHttp, true)); @@ a server may redirect to a local file
src/delta/delta_rebuild.cpp @@ if (!read || read->size() != base->size || Sha256::digest(*read) != base->sha256) { @@ if (!read) { @@ a patch's base is used without its digest checked
src/delta/delta_rebuild.cpp @@ RETURN_IF_ERROR(checkDigest(hash, file.path, base->sha256, opened->changed(base->path))); @@ (void)0; @@ a file taken unchanged from the install is not checked
src/delta/delta_rebuild.cpp @@ RETURN_IF_ERROR(pour(*reader, *opened, *base, sink)); @@ RETURN_IF_ERROR(pour(*reader, *opened, *base, sink)); RETURN_IF_ERROR(fs.remove(below(install, base->path))); @@ a file taken unchanged is taken from the install, not copied (as a link would share it)
src/delta/delta_rebuild.cpp @@ RETURN_IF_ERROR(checkDigest(hash, file.path, file.sha256, wrong)); @@ (void)0; @@ a rebuilt file is not checked against the manifest
src/delta/delta_rebuild.cpp @@ RETURN_IF_ERROR(openRead(fs, install, *opened, read)); @@ (void)read; @@ a missing file of the install is found only after files were written
src/delta/delta_rebuild.cpp @@ if (versions != nullptr && (manifest.from != versions->from || manifest.to != versions->to)) { @@ if (versions != nullptr && manifest.to != versions->to) { @@ a delta made from another version than its signature names is rebuilt
src/delta/delta_manifest.cpp @@ ASSIGN_OR_RETURN(const AcceptedName name, checkEntryName(record.path)); @@ const AcceptedName name{{record.path}, false}; @@ a manifest's file paths skip the entry rules
src/delta/delta_manifest.cpp @@ ASSIGN_OR_RETURN(const AcceptedName name, checkEntryName(folder)); @@ const AcceptedName name{{folder}, false}; @@ a manifest's folders skip the entry rules
src/delta/delta_manifest.cpp @@ entries.emplace(upperCaseKey(file.path), @@ entries.emplace(file.path, @@ manifest paths that differ in case both pass
src/delta/delta_manifest.cpp @@ if (file.data.empty() && (base.size != file.size || base.sha256 != file.sha256)) { @@ if (false) { @@ a file is taken unchanged from an install file of other content
src/elevated/verify.cpp @@ if (delta) message += "from=" + request.from + "\n"; @@ ; @@ a delta's signature doesn't bind the version it applies to
src/elevated/verify.cpp @@ if (!request.from.empty() && request.from != description.version) { @@ if (false) { @@ a delta for another installed version is staged
src/elevated/elevated.cpp @@ return rebuildDelta(reader, fileSystem_, config_.installFolder, target, @@ return rebuildDelta(reader, fileSystem_, request_.install, target, @@ the helper rebuilds from the install the user's request names
src/feed/feed_check.cpp @@ const bool fits = offer.from.empty() || offer.from == install.version; @@ const bool fits = true; @@ a delta made from another version is weighed, and named, for this install
src/feed/feed_check.cpp @@ return !a.second->from.empty() && b.second->from.empty(); @@ return a.second->from.empty() && !b.second->from.empty(); @@ the full package is offered where its delta fits
src/feed/feed_check.cpp @@ if (why.empty() && !offer->from.empty() && refusal != check.refusedDeltas.end()) { @@ if (false) { @@ a delta that staging refused here is offered again
src/apply/run.cpp @@ if (tries == kExtraUndoAttempts) return giveUp(undone.error().message); @@ if (tries >= kExtraUndoAttempts * 0) return giveUp(undone.error().message); @@ a rollback that fails is never tried again
src/workspace/lock.cpp @@ if (clock.now() >= deadline) { @@ if (clock.now() + std::chrono::hours(1) >= deadline) { @@ a held lock is not waited for
src/workspace/workspace.cpp @@ utf8ToPath("." + workspace.bundleName + ".loftswitch"); @@ utf8ToPath(".loftswitch"); @@ bundles in one folder share a workspace
src/base/outcome.cpp @@ case RunOutcome::busy: return 4; @@ case RunOutcome::busy: return 2; @@ another update holding the lock exits as a failure
src/elevated/elevated.cpp @@ return leave(lock.error().code == ErrorCode::locked ? RunOutcome::busy : RunOutcome::failed); @@ return leave(lock.error().code != ErrorCode::locked ? RunOutcome::busy : RunOutcome::failed); @@ the administrator's helper calls a held lock a failure
src/elevated/sha256_cpu.cpp @@ if (buffered_ > 56) { @@ if (buffered_ >= 56) { @@ a message one byte short of a padding block hashes wrong
src/elevated/sha256_cpu.cpp @@ _mm_alignr_epi8(previous, words[(group - 2) & 3], 4)); @@ _mm_alignr_epi8(previous, words[(group - 2) & 3], 8)); @@ the message schedule takes the wrong earlier word
EOF
)

# The same for the Wine lane, where the application library, the publisher's
# tool, the SDK and the README live: each fault rebuilds a scratch mingw
# build and runs the CTest tests its regex names.
# file @@ text found exactly once @@ its replacement @@ ctest regex @@ the fault
wine_mutants=$(cat <<'EOF'
src/lib/stage.cpp @@ if (!fresh_ || kept_) return; @@ if (true) return; @@ EachRefusal @@ a refused first staging leaves .loftswitch and its lock behind
src/lib/stage.cpp @@ if (!fs.exists(path) || fs.isFolder(path)) return std::nullopt; @@ if (true) return std::nullopt; @@ EachRefusal @@ a path given for the signed fields' text reads as broken JSON
src/lib/stage.cpp @@ if (staged && places.userWorkspace) { @@ if (false) { @@ EachRefusal @@ a user workspace that is not needed goes unused without a word
src/lib/attempt.cpp @@ if (nothingStaged) { @@ if (false) { @@ EachRefusal @@ marking an outcome reported on a fresh install fails on the lock's path
src/lib/app_api.cpp @@ if (outcome->size < kFirstOutcomeSize) { @@ if (false) { @@ EachRefusal @@ an outcome without its size is filled past what the app declared
src/apply/run.cpp @@ "the new version exited with code " + describeExitCode(*code) + @@ "the new version exited with code " + std::to_string(static_cast<std::int32_t>(*code)) + @@ EachRefusal @@ the tool shows a crash as a negative number
src/lib/app_api.cpp @@ {"exited", LOFTSWITCH_REASON_EXITED}, @@ {"exited", LOFTSWITCH_REASON_OTHER}, @@ EachRefusal @@ the reason "exited" has no code
src/pack/pack.cpp @@ {"keyId", signer->id}}; @@ {"keyId", ""}}; @@ ReadmeTest @@ signing records no key id
README.md @@     $(PKG_CONFIG_LIBDIR=sdk/lib/pkgconfig pkg-config --cflags --static --libs loftswitch-app) @@     $(pkg-config --cflags --static --libs loftswitch-app) @@ ReadmeTest @@ the README's pkg-config line sets PKG_CONFIG_LIBDIR where pkg-config doesn't see it
cmake/mingw-w64-x86_64.cmake @@ list(APPEND CMAKE_FIND_ROOT_PATH ${CMAKE_PREFIX_PATH}) @@ # @@ ReadmeTest @@ the toolchain file hides the SDK from -DCMAKE_PREFIX_PATH
src/lib/CMakeLists.txt @@ -D $<TARGET_FILE_NAME:loftswitch_app_dll> @@ -D loftswitch-app.dll @@ ReadmeTest @@ loftswitch-app.lib names a DLL the SDK doesn't ship
CMakeLists.txt @@ target_link_libraries(loftswitch-apply PRIVATE loftswitch_core) @@ target_link_libraries(loftswitch-apply PRIVATE loftswitch_core loftswitch_zstd_encoder -Wl,--undefined=ZSTD_compressStream2) @@ ZstdTest @@ the tool that installs links and uses zstd's encoder
src/delta/delta_rebuild.cpp @@ RETURN_IF_ERROR(checkDigest(hash, file.path, base->sha256, opened->changed(base->path))); @@ RETURN_IF_ERROR(checkDigest(hash, file.path, base->sha256, opened->changed(base->path))); writer.reset(); std::filesystem::remove(path); std::filesystem::create_hard_link(below(install, base->path), path); @@ DeltaE2eTest @@ a file taken unchanged is hard-linked to the install's
src/lib/stage.cpp @@ if (result || request.from.empty() || result.error().code != LOFTSWITCH_ERROR_REJECTED || @@ if (true || result || request.from.empty() || result.error().code != LOFTSWITCH_ERROR_REJECTED || @@ AnAdministratorsInstall @@ a refused delta is not remembered, so the next check offers it again, not the full package
EOF
)

cd "$root"
# The sample: one operator changed on one line that occurs once in its file,
# over the portable sources (the ones both lanes build).
if [ "$sample" -gt 0 ]; then
  mutants=$(SEED="$seed" COUNT="$sample" python3 - <<'PY'
import os, random, re, subprocess
files = [f for f in subprocess.run(["git", "ls-files", "src"], capture_output=True, text=True,
                                   check=True).stdout.split()
         if f.endswith(".cpp") and not f.endswith("_win32.cpp")]
swaps = [(" <= ", " < "), (" < ", " <= "), (" >= ", " > "), (" > ", " >= "), (" == ", " != "),
         (" != ", " == "), (" && ", " || "), (" || ", " && "), ("true", "false"), ("false", "true"),
         (" + 1", " + 2"), (" - 1", ""), ("++", "--"), ("!", "")]
sites = []
for name in files:
    lines = open(name, encoding="utf-8").read().split("\n")
    for line in lines:
        text = line.strip()
        if (not text or text.startswith(("//", "#", "*", "/*")) or "@@" in text
                or sum(l.strip() == text for l in lines) != 1):
            continue
        for old, new in swaps:
            at = text.find(old)
            if at < 0 or (old == "!" and text[at:at + 2] == "!=") or "template" in text:
                continue
            sites.append((name, text, text[:at] + new + text[at + len(old):], f"{old.strip()} -> {new.strip() or 'nothing'}"))
random.Random(int(os.environ["SEED"])).shuffle(sites)
for name, old, new, what in sites[:int(os.environ["COUNT"])]:
    print(f"{name} @@ {old} @@ {new} @@ {what}: {old[:60]}")
PY
)
fi
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
# The unit tests first: most faults fall there, and the simulator's long run
# is spent only on what they let live.
run_tests() {
  ctest --test-dir "$build" -E '^simulation$' -j"$(nproc)" --timeout 900 >"$scratch/test.log" 2>&1 &&
    ctest --test-dir "$build" -R '^simulation$' --timeout 900 >>"$scratch/test.log" 2>&1
}

# Both Wine steps run in a prefix and a wineserver of their own, so that the
# worktree's own test runs go on beside them.
export LOFTSWITCH_WINEPREFIX="$scratch/wineprefix"
# The Wine lane, for what the native lane lets live; a build that breaks
# only there is caught too.
run_wine_tests() {
  # The scratch copy has no build/: the cross-built libraries are the work tree's.
  [ -f "$scratch/wine/CMakeCache.txt" ] || cmake -S "$tree" --preset mingw -B "$scratch/wine" \
    -DLOFTSWITCH_MINGW_PREFIX="$root/build/mingw" >/dev/null
  cmake --build "$scratch/wine" -j"$(nproc)" -- --no-print-directory -s >"$scratch/wine-build.log" 2>&1 ||
    return 1
  ( source "$root/scripts/wine-env.sh"
    start_wineserver
    trap stop_wineserver EXIT
    ctest --test-dir "$scratch/wine" -j"$(nproc)" --timeout 300 --repeat until-pass:2 \
      --stop-on-failure >"$scratch/wine-test.log" 2>&1 )
}
# A sampled mutant lives only when both lanes let it.
both_lanes() { run_tests && run_wine_tests; }
native_step=run_tests
[ "$sample" -eq 0 ] || native_step=both_lanes

if ! configure_and_build || ! run_tests; then
  echo "mutants: the unchanged sources do not build or pass (see $scratch)" >&2
  exit 1
fi

total=0
caught=0
survivors=()
# Plants the mutant of one line of a list (file @@ old @@ new @@ [ctest regex
# @@] fault), builds with $1 and tests with $2, counts the verdict and puts
# the file back. The steps' names must not shadow $build, which the native
# steps read.
plant() {
  local build_step=$1 test_step=$2 line=$3 file old new rest fault target verdict
  file=${line%% @@ *}; rest=${line#* @@ }
  old=${rest%% @@ *}; rest=${rest#* @@ }
  new=${rest%% @@ *}; rest=${rest#* @@ }
  regex=${rest%% @@ *}; fault=${rest#* @@ }
  [ -z "$filter" ] || [[ "$file $fault" =~ $filter ]] || return 0
  target="$tree/$file"
  if [ "$(grep -cF -- "$old" "$target")" -ne 1 ]; then
    echo "mutant does not apply: $file: $old" >&2
    exit 1
  fi
  cp "$target" "$scratch/original"
  OLD="$old" NEW="$new" perl -pi -e 's/\Q$ENV{OLD}\E/$ENV{NEW}/' "$target"
  total=$((total + 1))
  if ! $build_step; then
    verdict="not built"
  elif $test_step; then
    verdict="survived"
  else
    verdict="caught"
    caught=$((caught + 1))
  fi
  [ "$verdict" = caught ] || survivors+=("$verdict: $file: $fault")
  echo "$verdict: $file: $fault" >>"$progress"
  cp "$scratch/original" "$target"
}

while IFS= read -r line; do
  [ -z "$line" ] || plant configure_and_build "$native_step" "$line"
done <<<"$mutants"
# Leave the scratch build matching the sources again.
configure_and_build || true

# The Wine lane's list, in a scratch mingw build with a Wine prefix and a
# wineserver of its own, so that the worktree's own test runs go on beside it.
wine_build="$scratch/wine"
wine_build_all() {
  [ -f "$wine_build/CMakeCache.txt" ] || cmake -S "$tree" --preset mingw -B "$wine_build" \
    -DLOFTSWITCH_MINGW_PREFIX="$root/build/mingw" >/dev/null
  cmake --build "$wine_build" -j"$(nproc)" >"$scratch/wine-build.log" 2>&1
}
wine_tests() {
  ctest --test-dir "$wine_build" -R "$regex" --timeout 300 >"$scratch/wine-test.log" 2>&1
}
# (An if, so that a last line that doesn't match doesn't end the script.)
wanted=$([ "$sample" -gt 0 ] || while IFS= read -r line; do
  if [ -z "$filter" ] || [[ "${line%% @@ *} ${line##* @@ }" =~ $filter ]]; then echo "$line"; fi
done <<<"$wine_mutants")
if [ -n "$wanted" ]; then
  source "$root/scripts/wine-env.sh"
  start_wineserver
  trap stop_wineserver EXIT
  regex="EachRefusal|ReadmeTest"
  if ! wine_build_all || ! wine_tests; then
    echo "mutants: the unchanged sources do not build or pass under Wine (see $scratch)" >&2
    exit 1
  fi
  while IFS= read -r line; do plant wine_build_all wine_tests "$line"; done <<<"$wanted"
  wine_build_all || true
fi

if [ "$sample" -gt 0 ]; then
  echo "mutants: $caught of $total killed ($((total ? caught * 100 / total : 0))%)"
else
  echo "mutants: $caught of $total caught"
fi
for survivor in "${survivors[@]}"; do echo "  $survivor"; done
