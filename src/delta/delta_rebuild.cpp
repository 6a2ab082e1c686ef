#include "delta/delta_rebuild.h"

#include <map>
#include <memory>
#include <vector>

#include "base/text.h"
#include "delta/delta_manifest.h"
#include "delta/patch_decoder.h"
#include "elevated/sha256.h"

namespace loftswitch {
namespace {

constexpr std::size_t kPiece = 0x40000;

std::filesystem::path below(const std::filesystem::path& root, std::string_view joined) {
  std::filesystem::path path = root;
  for (std::size_t start = 0; start <= joined.size();) {
    const std::size_t slash = std::min(joined.find('/', start), joined.size());
    path /= utf8ToPath(joined.substr(start, slash - start));
    start = slash + 1;
  }
  return path;
}

struct OpenedDelta {
  DeltaManifest manifest;
  // The package's file entries by name, and the reads by path.
  std::map<std::string, const PackageEntry*> entries;
  std::map<std::string, const DeltaRead*> reads;

  Error changed(const std::string& path) const {
    return Error{ErrorCode::baseMismatch, "the install's \"" + path + "\" isn't the file of version " +
                                              manifest.from + " that the delta was made from"};
  }
};

// The manifest and what it names; with `versions`, checked against them.
Result<std::unique_ptr<OpenedDelta>> openDelta(PackageReader& delta,
                                               const DeltaVersions* versions) {
  auto opened = std::make_unique<OpenedDelta>();
  for (const PackageEntry& entry : delta.entries()) {
    if (entry.kind != PackageEntryKind::file) continue;
    ASSIGN_OR_RETURN(const std::vector<std::string> components, delta.components(entry));
    opened->entries.emplace(joinedPath(components), &entry);
  }
  const auto found = opened->entries.find(std::string(kDeltaManifestName));
  if (found == opened->entries.end()) {
    return fail(ErrorCode::badLayout, "the package is not a delta: it has no " +
                                          std::string(kDeltaManifestName));
  }
  std::string text;
  PatchDecoder decoder({});
  auto decoded = delta.read(*found->second, [&](std::string_view piece) {
    return decoder.feed(piece, [&text](std::string_view out) -> Result<Unit> {
      if (out.size() > kDeltaManifestLimit - text.size()) {
        return fail(ErrorCode::tooLarge, "the delta's manifest is larger than " +
                                             std::to_string(kDeltaManifestLimit) + " bytes");
      }
      return text += out, Unit{};
    });
  });
  if (decoded) decoded = decoder.finish();
  if (!decoded) return fail(decoded.error());
  ASSIGN_OR_RETURN(opened->manifest, readDeltaManifest(text, delta.limits()));
  const DeltaManifest& manifest = opened->manifest;
  if (versions != nullptr && (manifest.from != versions->from || manifest.to != versions->to)) {
    return fail(ErrorCode::invalidData, "the delta's manifest turns version " + manifest.from +
                                            " into " + manifest.to + ", but it is signed as turning " +
                                            versions->from + " into " + versions->to);
  }
  for (const DeltaRead& read : manifest.reads) opened->reads.emplace(read.path, &read);
  for (const DeltaFile& file : manifest.files) {
    if (!file.data.empty() && !opened->entries.contains(file.data)) {
      return fail(ErrorCode::badLayout,
                  "the delta has no entry \"" + file.data + "\" for \"" + file.path + "\"");
    }
  }
  return opened;
}

// The install's file, open, once it is there with its listed size.
Result<std::unique_ptr<FileReader>> openRead(FileSystem& fs, const std::filesystem::path& install,
                                             const OpenedDelta& delta, const DeltaRead& read) {
  auto reader = fs.openRead(below(install, read.path));
  if (!reader && reader.error().code == ErrorCode::notFound) {
    return fail(ErrorCode::baseMismatch,
                "the install has no \"" + read.path + "\", which the delta reads");
  }
  if (!reader) return fail(std::move(reader.error()));
  ASSIGN_OR_RETURN(const std::uint64_t size, (*reader)->size());
  if (size != read.size) return fail(delta.changed(read.path));
  return std::move(*reader);
}

// Streams the install's file into `sink`, failing as soon as it runs past
// its listed size.
Result<Unit> pour(FileReader& reader, const OpenedDelta& delta, const DeltaRead& read,
                  const PieceSink& sink) {
  std::vector<char> buffer(kPiece);
  for (std::uint64_t done = 0;;) {
    ASSIGN_OR_RETURN(const std::size_t got, reader.read(buffer));
    if (got == 0) return Unit{};
    done += got;
    if (done > read.size) return fail(delta.changed(read.path));
    RETURN_IF_ERROR(sink(std::string_view(buffer.data(), got)));
  }
}

Result<Unit> checkDigest(Sha256& hash, const std::string& path, const Sha256Digest& wanted,
                         const Error& otherwise) {
  const Sha256Digest digest = hash.finish();
  if (hash.failed()) return fail(ErrorCode::io, "can't compute the SHA-256 of \"" + path + "\"");
  if (digest != wanted) return fail(otherwise);
  return Unit{};
}

}  // namespace

Result<Unit> rebuildDelta(PackageReader& delta, FileSystem& fs,
                          const std::filesystem::path& install,
                          const std::filesystem::path& target, const DeltaVersions& versions,
                          const ByteProgress& progress) {
  ASSIGN_OR_RETURN(const std::unique_ptr<OpenedDelta> opened, openDelta(delta, &versions));
  const DeltaManifest& manifest = opened->manifest;
  // A changed or missing file is found before anything is written.
  for (const DeltaRead& read : manifest.reads) {
    RETURN_IF_ERROR(openRead(fs, install, *opened, read));
  }
  std::uint64_t total = 0;
  for (const DeltaFile& file : manifest.files) total += file.size;
  std::uint64_t written = 0;
  if (!keepGoing(progress, 0, total)) return fail(stoppedByCaller());
  for (const std::string& folder : manifest.folders) {
    RETURN_IF_ERROR(fs.createFolders(below(target, folder)));
  }

  for (const DeltaFile& file : manifest.files) {
    const std::filesystem::path path = below(target, file.path);
    RETURN_IF_ERROR(fs.createFolders(path.parent_path()));
    ASSIGN_OR_RETURN(std::unique_ptr<FileWriter> writer, fs.createFile(path, 0644));
    const Error wrong{ErrorCode::digestMismatch,
                      "the rebuilt \"" + file.path + "\" doesn't match the delta's manifest"};
    Sha256 hash;
    std::uint64_t size = 0;
    const PieceSink sink = [&](std::string_view piece) -> Result<Unit> {
      if (piece.size() > file.size - size) return fail(wrong);
      RETURN_IF_ERROR(writer->write(piece));
      hash.update(piece);
      size += piece.size();
      written += piece.size();
      if (!keepGoing(progress, written, total)) return fail(stoppedByCaller());
      return Unit{};
    };
    const DeltaRead* base = file.base.empty() ? nullptr : opened->reads.at(file.base);
    if (base != nullptr && file.data.empty()) {
      ASSIGN_OR_RETURN(const std::unique_ptr<FileReader> reader,
                       openRead(fs, install, *opened, *base));
      RETURN_IF_ERROR(pour(*reader, *opened, *base, sink));
      RETURN_IF_ERROR(checkDigest(hash, file.path, base->sha256, opened->changed(base->path)));
    } else {
      std::string baseBytes;
      if (base != nullptr) {
        auto read = fs.readFile(below(install, base->path), kPatchWindow);
        if (!read && read.error().code != ErrorCode::tooLarge) return fail(std::move(read.error()));
        if (!read || read->size() != base->size || Sha256::digest(*read) != base->sha256) {
          return fail(opened->changed(base->path));
        }
        baseBytes = std::move(*read);
      }
      PatchDecoder decoder(baseBytes);
      auto decoded = delta.read(*opened->entries.at(file.data), [&](std::string_view piece) {
        return decoder.feed(piece, sink);
      });
      if (decoded) decoded = decoder.finish();
      if (!decoded) {
        return fail(decoded.error().code,
                    "\"" + file.path + "\" can't be rebuilt: " + decoded.error().message);
      }
      RETURN_IF_ERROR(checkDigest(hash, file.path, file.sha256, wrong));
    }
  }
  return Unit{};
}

Result<DeltaManifest> readDeltaPackage(PackageReader& delta) {
  ASSIGN_OR_RETURN(std::unique_ptr<OpenedDelta> opened, openDelta(delta, nullptr));
  return std::move(opened->manifest);
}

Result<Unit> checkDeltaBase(PackageReader& delta, FileSystem& fs,
                            const std::filesystem::path& install, const DeltaVersions& versions) {
  ASSIGN_OR_RETURN(const std::unique_ptr<OpenedDelta> opened, openDelta(delta, &versions));
  for (const DeltaRead& read : opened->manifest.reads) {
    ASSIGN_OR_RETURN(const std::unique_ptr<FileReader> reader, openRead(fs, install, *opened, read));
    Sha256 hash;
    RETURN_IF_ERROR(pour(*reader, *opened, read, [&hash](std::string_view piece) -> Result<Unit> {
      hash.update(piece);
      return Unit{};
    }));
    RETURN_IF_ERROR(checkDigest(hash, read.path, read.sha256, opened->changed(read.path)));
  }
  return Unit{};
}

}  // namespace loftswitch
