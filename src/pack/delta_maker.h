#pragma once

// Making a delta package: what turns an install of one package's version
// into exactly the next package's.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "base/file.h"
#include "base/result.h"
#include "package/package_reader.h"

namespace loftswitch {

// A package opened as the installing side opens it, with the same limits,
// and held so that nobody can change it while it is read.
struct HeldPackage {
  std::unique_ptr<OpenFile> file;
  std::optional<PackageReader> reader;
};
[[nodiscard]] Result<HeldPackage> holdPackage(const std::filesystem::path& path);

struct MadeDelta {
  std::string app;
  std::string from;
  std::string to;
  std::size_t unchanged = 0;
  std::size_t patched = 0;
  std::size_t whole = 0;
  std::size_t removed = 0;
  std::uint64_t bytes = 0;
};

// Writes the delta from the package `from` to the package `to` (both for
// the same app, `to` newer) into `out`. Each file of `to` is the install's
// file with the same content where there is one, else a zstd patch against
// the file of the same path when both fit the patch window, else whole.
[[nodiscard]] Result<MadeDelta> makeDelta(const std::filesystem::path& from,
                                          const std::filesystem::path& to,
                                          const std::filesystem::path& out);

}  // namespace loftswitch
