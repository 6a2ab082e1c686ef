#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "elevated/sha256.h"

namespace loftswitch {

class FileSystem;

using Ed25519Key = std::array<std::uint8_t, 32>;
using Ed25519Signature = std::array<std::uint8_t, 64>;

// One update attempt as the application asks the elevated helper for it.
struct UpdateRequest {
  std::string id;
  bool repair = false;
  std::string version;  // as written
  // For a delta package, the version it turns into `version`, as written;
  // empty for a full package.
  std::string from;
  std::string notes;
  std::string platform;
  std::string url;
  std::uint64_t size = 0;
  Sha256Digest sha256{};
  Ed25519Signature signature{};
  // The signer's key id as the publisher's tool wrote it: unsigned, so it
  // names a key in messages and is trusted for nothing.
  std::string keyId;
  std::filesystem::path package;
  std::filesystem::path install;
  std::filesystem::path userWorkspace;
  std::string executable;  // relative to the install folder, "/"-separated
  std::vector<std::string> relaunchArgs;
  std::string relaunchCwd;
  std::uint64_t exitMs = 60000;
  std::uint64_t confirmMs = 60000;
};

// What an install accepts, from its own "loftswitch.json".
struct InstallDescription {
  std::string app;
  std::string version;
  std::vector<Ed25519Key> publicKeys;
  std::string executable;
  std::vector<std::string> platforms;
  std::vector<std::string> preserve;
};

inline constexpr std::uint64_t kRequestFileLimit = 0x100000;

// The whole file's bytes to a checked request; every error is `invalidData`
// and begins with "the update request: ".
[[nodiscard]] Result<UpdateRequest> readUpdateRequest(std::string_view text);

// The whole file's bytes to a checked description; every error is
// `invalidData` and begins with "loftswitch.json: ".
[[nodiscard]] Result<InstallDescription> readInstallDescription(std::string_view text);

// Reads the request file (at most 1 MiB) and its request: the first steps of
// the elevated helper and of the waiter. The error is the read's or the
// reader's, unchanged.
[[nodiscard]] Result<UpdateRequest> loadUpdateRequest(FileSystem& fileSystem,
                                                      const std::filesystem::path& path);

}  // namespace loftswitch
