#include "elevated/verify.h"

#include <algorithm>
#include <vector>

#include "base/text.h"
#include "elevated/ed25519.h"
#include "elevated/key_id.h"
#include "elevated/version.h"

namespace loftswitch {
namespace {

constexpr std::size_t kHashBufferSize = 0x40000;

// Both sizes, and what a difference means, as the digest cannot match then.
Error sizeMismatch(std::uint64_t actual, std::uint64_t signedSize) {
  return Error{ErrorCode::sizeMismatch,
               "the package is " + std::to_string(actual) + " bytes, not the signed " +
                   std::to_string(signedSize) + ", so its SHA-256 differs too: " +
                   (actual < signedSize ? "the download is incomplete, or " : "") +
                   "the package and the signed fields don't belong together"};
}

}  // namespace

std::string buildSignedMessage(std::string_view app, const UpdateRequest& request) {
  // A delta's own first line keeps its signature from passing for a full
  // package's, or the other way round.
  const bool delta = !request.from.empty();
  std::string message = delta ? "loftswitch delta v1\n" : "loftswitch package v1\n";
  message += "app=" + std::string(app) + "\n";
  if (delta) message += "from=" + request.from + "\n";
  message += "version=" + request.version + "\n";
  message += "platform=" + request.platform + "\n";
  message += "size=" + std::to_string(request.size) + "\n";
  message += "sha256=" + toHex(request.sha256) + "\n";
  message += "notes-sha256=" + toHex(Sha256::digest(request.notes)) + "\n";
  return message;
}

Result<Unit> verifyPackageSignature(std::string_view app, const UpdateRequest& request,
                                    std::span<const Ed25519Key> trustedKeys) {
  const std::string message = buildSignedMessage(app, request);
  const std::span<const std::uint8_t> messageBytes(
      reinterpret_cast<const std::uint8_t*>(message.data()), message.size());
  for (const Ed25519Key& key : trustedKeys) {
    if (ed25519Verify(request.signature, key, messageBytes)) return ok();
  }
  return fail(ErrorCode::badSignature, signatureRefusal(request, trustedKeys));
}

Result<Unit> checkOffer(const InstallDescription& description, const UpdateRequest& request,
                        std::uint64_t sizeLimit) {
  RETURN_IF_ERROR(verifyPackageSignature(description.app, request, description.publicKeys));
  const std::optional<Version> offered = parseVersion(request.version);
  const std::optional<Version> installed = parseVersion(description.version);
  if (!offered || !installed || compareVersions(*offered, *installed) <= 0) {
    return fail(ErrorCode::invalidData, "version " + request.version +
                                            " is not newer than the installed " + description.version);
  }
  if (!request.from.empty() && request.from != description.version) {
    return fail(ErrorCode::invalidData, "the delta turns version " + request.from + " into " +
                                            request.version + ", not the installed " +
                                            description.version);
  }
  if (std::ranges::find(description.platforms, request.platform) == description.platforms.end()) {
    return fail(ErrorCode::invalidData,
                "the package is for " + request.platform + ", which this install doesn't run");
  }
  if (request.size > sizeLimit) return fail(ErrorCode::tooLarge, "the package is larger than the limit");
  return Unit{};
}

Result<OpenFile> hashPackage(const std::filesystem::path& package, const UpdateRequest& request,
                             const ByteProgress& progress) {
  ASSIGN_OR_RETURN(OpenFile file, openFile(package, OpenMode::readDenyWrite));
  ASSIGN_OR_RETURN(const std::uint64_t size, fileSize(file));
  if (size != request.size) return fail(sizeMismatch(size, request.size));
  if (!keepGoing(progress, 0, request.size)) return fail(stoppedByCaller());
  Sha256 hash;
  std::vector<std::uint8_t> buffer(kHashBufferSize);
  std::uint64_t offset = 0;
  while (offset < request.size) {
    const std::size_t piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(request.size - offset, buffer.size()));
    const std::span<std::uint8_t> chunk(buffer.data(), piece);
    RETURN_IF_ERROR(readExactAt(file, offset, chunk));
    hash.update(chunk);
    offset += piece;
    if (!keepGoing(progress, offset, request.size)) return fail(stoppedByCaller());
  }
  const Sha256Digest digest = hash.finish();
  // A provider failure must not pass as a match, and is no tampering either.
  if (hash.failed()) {
    return fail(ErrorCode::io, "can't compute the SHA-256 of " + pathToUtf8(package));
  }
  if (digest != request.sha256) {
    return fail(ErrorCode::digestMismatch,
                "the package's SHA-256 doesn't match the signed one: the package was changed "
                "after it was signed, or the package and the signed fields don't belong together");
  }
  return file;
}

Result<Unit> copyPackageCapped(const std::filesystem::path& from,
                               const std::filesystem::path& to, std::uint64_t limit,
                               const ByteProgress& progress) {
  ASSIGN_OR_RETURN(OpenFile source, openFile(from, OpenMode::read));
  return copyPackageCapped(source, to, limit, progress);
}

Result<Unit> copyPackageCapped(OpenFile& source, const std::filesystem::path& to,
                               std::uint64_t limit, const ByteProgress& progress) {
  ASSIGN_OR_RETURN(OpenFile target, openFile(to, OpenMode::createNew));
  if (!keepGoing(progress, 0, limit)) return fail(stoppedByCaller());
  std::vector<std::uint8_t> buffer(kHashBufferSize);
  std::uint64_t total = 0;
  for (;;) {
    ASSIGN_OR_RETURN(const std::uint64_t count, readSome(source, buffer));
    if (count == 0) break;
    total += count;
    if (total > limit) {
      ASSIGN_OR_RETURN(const std::uint64_t size, fileSize(source));
      return fail(sizeMismatch(std::max(size, total), limit));
    }
    RETURN_IF_ERROR(
        writeAll(target, std::string_view(reinterpret_cast<const char*>(buffer.data()), count)));
    if (!keepGoing(progress, total, limit)) return fail(stoppedByCaller());
  }
  return flushFile(target);
}

}  // namespace loftswitch
