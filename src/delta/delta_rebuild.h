#pragma once

// A delta package turns an install of one version into the next: the new
// version is rebuilt whole, in a folder of its own, from the delta's data
// and the install's files, and then staged like an unpacked full package.

#include <filesystem>
#include <string>

#include "base/result.h"
#include "delta/delta_manifest.h"
#include "fs/file_system.h"
#include "package/package_reader.h"
#include "package/progress.h"

namespace loftswitch {

// The versions a delta is signed as turning one into the other.
struct DeltaVersions {
  std::string from;
  std::string to;
};

// Rebuilds the new version that `delta` describes below `target`, which must
// exist, from the delta's data and the files of the install in `install`.
// Every file the delta reads must be there with its listed size before
// anything is written, and must have its listed SHA-256 when it is read: one
// that is missing or differs fails as `baseMismatch`, naming it. Every
// rebuilt file must then have its listed size and SHA-256 (`digestMismatch`).
// Files are written anew, never linked to the install's. `progress` counts
// the bytes written against the new version's size.
[[nodiscard]] Result<Unit> rebuildDelta(PackageReader& delta, FileSystem& fs,
                                        const std::filesystem::path& install,
                                        const std::filesystem::path& target,
                                        const DeltaVersions& versions,
                                        const ByteProgress& progress = {});

// The manifest of a delta package, checked as rebuildDelta checks it, with
// every entry it names there; `badLayout` for a package that is no delta.
[[nodiscard]] Result<DeltaManifest> readDeltaPackage(PackageReader& delta);

// What rebuildDelta asks of the install and of the manifest, without
// writing anything: for a check before the rebuild happens elsewhere.
[[nodiscard]] Result<Unit> checkDeltaBase(PackageReader& delta, FileSystem& fs,
                                          const std::filesystem::path& install,
                                          const DeltaVersions& versions);

}  // namespace loftswitch
