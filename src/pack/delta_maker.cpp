#include "pack/delta_maker.h"

#include <zstd.h>

#include <algorithm>
#include <bit>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "base/text.h"
#include "delta/delta_manifest.h"
#include "delta/patch_decoder.h"
#include "elevated/elevated.h"
#include "elevated/request.h"
#include "elevated/version.h"
#include "pack/zip_writer.h"
#include "package/package_reader.h"

namespace loftswitch {
namespace {

// Publishing is done once and downloaded many times; beyond this level a
// patch gains about 1% for ten times the time.
constexpr int kLevel = 12;
constexpr std::uint64_t kDescriptionLimit = 65536;


struct Item {
  const PackageEntry* entry = nullptr;
  std::string path;
  std::uint64_t size = 0;
  Sha256Digest sha256{};
};

// The package's files with their digests; its folders into `folders`.
Result<std::vector<Item>> listFiles(PackageReader& reader, std::vector<std::string>& folders) {
  std::vector<Item> items;
  for (const PackageEntry& entry : reader.entries()) {
    ASSIGN_OR_RETURN(const std::vector<std::string> components, reader.components(entry));
    if (entry.kind == PackageEntryKind::folder) {
      folders.push_back(joinedPath(components));
      continue;
    }
    Sha256 hash;
    RETURN_IF_ERROR(reader.read(entry, [&hash](std::string_view piece) -> Result<Unit> {
      hash.update(piece);
      return Unit{};
    }));
    items.push_back(Item{&entry, joinedPath(components), entry.declaredSize, hash.finish()});
    if (hash.failed()) return fail(ErrorCode::io, "can't compute a SHA-256");
  }
  return items;
}

Result<std::string> contentOf(PackageReader& reader, const PackageEntry& entry) {
  std::string content;
  RETURN_IF_ERROR(reader.read(entry, [&content](std::string_view piece) -> Result<Unit> {
    content += piece;
    return Unit{};
  }));
  return content;
}

Result<InstallDescription> descriptionOf(PackageReader& reader, const std::vector<Item>& items) {
  const auto found = std::find_if(items.begin(), items.end(),
                                  [](const Item& item) { return item.path == "loftswitch.json"; });
  if (found == items.end() || found->size > kDescriptionLimit) {
    return fail(ErrorCode::badLayout, "it has no loftswitch.json at its root");
  }
  ASSIGN_OR_RETURN(const std::string text, contentOf(reader, *found->entry));
  return readInstallDescription(text);
}

std::unexpected<Error> zstdFailure(std::size_t code) {
  return fail(ErrorCode::io, std::string("zstd failed: ") + ZSTD_getErrorName(code));
}

// The entry's content as one zstd frame, with `base` as its prefix when
// there is one, into the zip entry that is open.
Result<Unit> encode(PackageReader& reader, const Item& item, std::string_view base,
                    ZipWriter& zip) {
  const std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(),
                                                                     &ZSTD_freeCCtx);
  if (!context) return fail(ErrorCode::io, "zstd failed: out of memory");
  ZSTD_CCtx* cctx = context.get();
  std::size_t status = ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, kLevel);
  if (!base.empty() && !ZSTD_isError(status)) {
    // The window spans the base and the file, so that any part of the base
    // can be matched from anywhere in the file.
    const int windowLog = std::clamp<int>(
        static_cast<int>(std::bit_width(std::max<std::uint64_t>(base.size(), item.size))) + 1,
        10, kPatchWindowLog);
    status = ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, windowLog);
    if (!ZSTD_isError(status)) {
      status = ZSTD_CCtx_setParameter(cctx, ZSTD_c_enableLongDistanceMatching, 1);
    }
    if (!ZSTD_isError(status)) status = ZSTD_CCtx_refPrefix(cctx, base.data(), base.size());
  }
  if (!ZSTD_isError(status)) status = ZSTD_CCtx_setPledgedSrcSize(cctx, item.size);
  if (ZSTD_isError(status)) return zstdFailure(status);

  std::vector<char> output(ZSTD_CStreamOutSize());
  const auto pump = [&](std::string_view piece, ZSTD_EndDirective directive) -> Result<Unit> {
    ZSTD_inBuffer in{piece.data(), piece.size(), 0};
    for (;;) {
      ZSTD_outBuffer out{output.data(), output.size(), 0};
      const std::size_t left = ZSTD_compressStream2(cctx, &out, &in, directive);
      if (ZSTD_isError(left)) return zstdFailure(left);
      RETURN_IF_ERROR(zip.write(std::string_view(output.data(), out.pos)));
      const bool done = directive == ZSTD_e_end ? left == 0 : in.pos == in.size;
      if (done) return Unit{};
    }
  };
  RETURN_IF_ERROR(reader.read(*item.entry, [&pump](std::string_view piece) {
    return pump(piece, ZSTD_e_continue);
  }));
  return pump({}, ZSTD_e_end);
}

// The error of `result`, if any, said of `which` package.
template <typename T>
Result<T> of(std::string_view which, Result<T> result) {
  if (!result) {
    return fail(result.error().code,
                "the " + std::string(which) + " package: " + result.error().message);
  }
  return result;
}

}  // namespace

Result<HeldPackage> holdPackage(const std::filesystem::path& path) {
  const ElevatedConfig limits;
  HeldPackage held;
  ASSIGN_OR_RETURN(OpenFile file, openFile(path, OpenMode::readDenyWrite));
  held.file = std::make_unique<OpenFile>(std::move(file));
  ASSIGN_OR_RETURN(const std::uint64_t size, fileSize(*held.file));
  if (size > limits.packageSizeLimit) {
    return fail(ErrorCode::tooLarge, "the package is larger than the limit");
  }
  OpenFile* source = held.file.get();
  ASSIGN_OR_RETURN(PackageReader reader,
                   openPackage(
                       [source](std::uint64_t offset, std::span<std::uint8_t> bytes) {
                         return readExactAt(*source, offset, bytes).has_value();
                       },
                       size, PackageLimits{limits.expandedSizeLimit, limits.entryLimit}));
  held.reader.emplace(std::move(reader));
  return held;
}

Result<MadeDelta> makeDelta(const std::filesystem::path& from, const std::filesystem::path& to,
                            const std::filesystem::path& out) {
  ASSIGN_OR_RETURN(HeldPackage oldPackage, of("old", holdPackage(from)));
  ASSIGN_OR_RETURN(HeldPackage newPackage, of("new", holdPackage(to)));
  PackageReader& oldReader = *oldPackage.reader;
  PackageReader& newReader = *newPackage.reader;
  DeltaManifest manifest;
  std::vector<std::string> oldFolders;
  ASSIGN_OR_RETURN(const std::vector<Item> oldFiles, of("old", listFiles(oldReader, oldFolders)));
  ASSIGN_OR_RETURN(const std::vector<Item> newFiles,
                   of("new", listFiles(newReader, manifest.folders)));
  ASSIGN_OR_RETURN(const InstallDescription oldDescription,
                   of("old", descriptionOf(oldReader, oldFiles)));
  ASSIGN_OR_RETURN(const InstallDescription newDescription,
                   of("new", descriptionOf(newReader, newFiles)));
  MadeDelta made{newDescription.app, oldDescription.version, newDescription.version};
  if (oldDescription.app != made.app) {
    return fail(ErrorCode::invalidData, "the old package is for app \"" + oldDescription.app +
                                            "\", the new one for \"" + made.app + "\"");
  }
  const auto oldVersion = parseVersion(made.from);
  const auto newVersion = parseVersion(made.to);
  if (!oldVersion || !newVersion || compareVersions(*newVersion, *oldVersion) <= 0) {
    return fail(ErrorCode::invalidData,
                "version " + made.to + " is not newer than the old package's " + made.from);
  }
  manifest.from = made.from;
  manifest.to = made.to;

  std::map<std::string, const Item*> oldByKey;
  std::map<Sha256Digest, const Item*> oldByContent;
  for (const Item& item : oldFiles) {
    oldByKey.emplace(upperCaseKey(item.path), &item);
    oldByContent.emplace(item.sha256, &item);
  }
  std::map<std::string, const Item*> reads;
  struct Travelling {
    const Item* item;
    const Item* base;
    std::string data;
  };
  std::vector<Travelling> travelling;
  for (const Item& item : newFiles) {
    DeltaFile file{item.path, item.size, item.sha256, {}, {}};
    const auto samePath = oldByKey.find(upperCaseKey(item.path));
    const Item* same = samePath == oldByKey.end() ? nullptr : samePath->second;
    oldByKey.erase(upperCaseKey(item.path));
    const auto sameContent = oldByContent.find(item.sha256);
    const Item* base = sameContent == oldByContent.end() ? nullptr : sameContent->second;
    if (same != nullptr && same->sha256 == item.sha256) base = same;
    if (base != nullptr) {
      ++made.unchanged;
    } else {
      file.data = "data/" + std::to_string(manifest.files.size());
      if (same != nullptr && same->size <= kPatchWindow && item.size <= kPatchWindow) {
        base = same;
        ++made.patched;
      } else {
        ++made.whole;
      }
      travelling.push_back(Travelling{&item, base, file.data});
    }
    if (base != nullptr) {
      file.base = base->path;
      reads.emplace(base->path, base);
    }
    manifest.files.push_back(std::move(file));
  }
  // What is left had no file of its path in the new version.
  made.removed = oldByKey.size();
  for (const auto& [path, item] : reads) {
    manifest.reads.push_back(DeltaRead{item->path, item->size, item->sha256});
  }

  ASSIGN_OR_RETURN(ZipWriter zip, ZipWriter::create(out));
  const std::string text = serializeDeltaManifest(manifest);
  std::string frame(ZSTD_compressBound(text.size()), '\0');
  const std::size_t framed = ZSTD_compress(frame.data(), frame.size(), text.data(), text.size(),
                                           19);
  if (ZSTD_isError(framed)) return zstdFailure(framed);
  RETURN_IF_ERROR(zip.begin(std::string(kDeltaManifestName)));
  RETURN_IF_ERROR(zip.write(std::string_view(frame.data(), framed)));
  RETURN_IF_ERROR(zip.end());
  for (const Travelling& file : travelling) {
    RETURN_IF_ERROR(zip.begin(file.data));
    std::string baseBytes;
    if (file.base != nullptr) {
      ASSIGN_OR_RETURN(baseBytes, contentOf(oldReader, *file.base->entry));
    }
    RETURN_IF_ERROR(encode(newReader, *file.item, baseBytes, zip));
    RETURN_IF_ERROR(zip.end());
  }
  ASSIGN_OR_RETURN(made.bytes, zip.finish());
  return made;
}

}  // namespace loftswitch
