#pragma once

#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "base/file.h"
#include "base/result.h"
#include "elevated/request.h"
#include "package/progress.h"

namespace loftswitch {

// The exact bytes a publisher signs for an update: the app id of the install
// description with the request's version (as written), platform, size,
// package digest and the digest of its notes, one "key=value\n" line each;
// for a delta, the version it applies to as well, under a first line of its
// own.
std::string buildSignedMessage(std::string_view app, const UpdateRequest& request);

// Succeeds when the request's signature over its signed message verifies
// with one of the keys; `badSignature` otherwise.
[[nodiscard]] Result<Unit> verifyPackageSignature(std::string_view app,
                                                  const UpdateRequest& request,
                                                  std::span<const Ed25519Key> trustedKeys);

// What the install that `description` describes refuses in an offer before
// any byte of its package is read, in this order: a signature no trusted key
// verifies (`badSignature`), a version not newer than the installed one, a
// delta for another installed version, a platform the install doesn't run
// (`invalidData`), a package larger than
// `sizeLimit` (`tooLarge`). Both staging roads ask this one question.
[[nodiscard]] Result<Unit> checkOffer(const InstallDescription& description,
                                      const UpdateRequest& request, std::uint64_t sizeLimit);

// Opens the package so that nobody can change it, and checks its size and
// SHA-256 digest against the request. The file stays open for the reader of
// the archive, so that the bytes checked are the bytes extracted. `progress`
// counts the bytes hashed against the signed size.
[[nodiscard]] Result<OpenFile> hashPackage(const std::filesystem::path& package,
                                           const UpdateRequest& request,
                                           const ByteProgress& progress = {});

// Copies the package into a folder that only its reader controls, reading at
// most `limit` bytes: a package that grows past its signed size is refused
// (`sizeMismatch`) before it can fill the disk. `progress` counts the bytes
// copied against the limit.
[[nodiscard]] Result<Unit> copyPackageCapped(const std::filesystem::path& from,
                                             const std::filesystem::path& to,
                                             std::uint64_t limit,
                                             const ByteProgress& progress = {});
// The same from a file its caller opened.
[[nodiscard]] Result<Unit> copyPackageCapped(OpenFile& source, const std::filesystem::path& to,
                                             std::uint64_t limit,
                                             const ByteProgress& progress = {});

}  // namespace loftswitch
