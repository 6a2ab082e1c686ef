#include "delta/delta_manifest.h"

#include <algorithm>
#include <map>
#include <optional>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "elevated/validate.h"
#include "json/strict_json.h"
#include "package/entry_rules.h"

namespace loftswitch {
namespace {

constexpr std::string_view kContext = "the delta's manifest";
constexpr std::uint64_t kLargestSize = 9007199254740991;

std::optional<Sha256Digest> digestOf(std::string_view text) {
  const std::optional<Bytes> bytes = decodeHex(text);
  if (!bytes || bytes->size() != Sha256Digest{}.size()) return std::nullopt;
  Sha256Digest digest;
  std::copy(bytes->begin(), bytes->end(), digest.begin());
  return digest;
}

// The objects listed under `key`; none when it is absent.
Result<std::vector<const nlohmann::json*>> objectsOf(const nlohmann::json& document,
                                                     std::string_view key) {
  std::vector<const nlohmann::json*> objects;
  const auto found = document.find(key);
  if (found == document.end()) return objects;
  if (!found->is_array()) return fail(contextError(kContext, std::string(key) + " must be a list"));
  for (const nlohmann::json& item : *found) {
    if (!item.is_object()) {
      return fail(contextError(kContext, std::string(key) + " must hold only objects"));
    }
    objects.push_back(&item);
  }
  return objects;
}

// A read or a file: its path in joined form, once it obeys the entry rules.
Result<DeltaFile> readRecord(const nlohmann::json& item, std::string context, bool file) {
  FieldReader fields(item, context);
  DeltaFile record;
  record.path = fields.string("path", true);
  record.size = fields.integer("size", 0, kLargestSize);
  const std::string digest = fields.string("sha256", true);
  if (file) {
    record.base = fields.string("base", false);
    record.data = fields.string("data", false);
  }
  RETURN_IF_ERROR(fields.finish());
  if (!item.contains("size")) return fail(contextError(context, "size must be given"));
  const std::optional<Sha256Digest> sha256 = digestOf(digest);
  if (!sha256) return fail(contextError(context, "sha256 must be 64 lowercase hex digits"));
  record.sha256 = *sha256;
  ASSIGN_OR_RETURN(const AcceptedName name, checkEntryName(record.path));
  if (name.folderName) return fail(entryError(record.path, "names a folder, not a file"));
  record.path = joinedPath(name.components);
  return record;
}

}  // namespace

Result<DeltaManifest> readDeltaManifest(std::string_view text, const PackageLimits& limits) {
  auto parsed = parseStrictJson(text, 3);
  if (!parsed) return fail(contextError(kContext, parsed.error().message));
  const nlohmann::json& document = *parsed;
  if (!document.is_object() || !document.contains("loftswitch_delta") ||
      document["loftswitch_delta"] != 1) {
    return fail(contextError(kContext, "not a version 1 delta manifest"));
  }
  DeltaManifest manifest;
  FieldReader fields(document, std::string(kContext));
  manifest.from = fields.string("from", true);
  manifest.to = fields.string("to", true);
  manifest.folders = fields.strings("folders");
  RETURN_IF_ERROR(fields.finish());

  ASSIGN_OR_RETURN(const auto reads, objectsOf(document, "reads"));
  std::map<std::string, std::size_t> readIndex;
  for (const nlohmann::json* item : reads) {
    const std::string context = std::string(kContext) + ": read " + std::to_string(readIndex.size());
    ASSIGN_OR_RETURN(DeltaFile read, readRecord(*item, context, false));
    if (!readIndex.emplace(upperCaseKey(read.path), manifest.reads.size()).second) {
      return fail(entryError(read.path, "is read twice (ignoring case)"));
    }
    manifest.reads.push_back(DeltaRead{std::move(read.path), read.size, read.sha256});
  }

  ASSIGN_OR_RETURN(const auto files, objectsOf(document, "files"));
  const std::uint64_t count = files.size() + manifest.folders.size();
  if (count > limits.maxEntries) {
    return fail(ErrorCode::tooLarge, "the package has " + std::to_string(count) +
                                         " entries, more than the limit of " +
                                         std::to_string(limits.maxEntries));
  }
  // Every path of the new version by its key: the path, and whether it is a
  // file.
  std::map<std::string, std::pair<std::string, bool>> entries;
  std::uint64_t total = 0;
  for (const nlohmann::json* item : files) {
    const std::string context =
        std::string(kContext) + ": file " + std::to_string(manifest.files.size());
    ASSIGN_OR_RETURN(DeltaFile file, readRecord(*item, context, true));
    if (file.size > limits.maxExpandedBytes || total > limits.maxExpandedBytes - file.size) {
      return fail(ErrorCode::tooLarge, "the package expands to more than " +
                                           std::to_string(limits.maxExpandedBytes) + " bytes");
    }
    total += file.size;
    if (!entries.emplace(upperCaseKey(file.path), std::pair(file.path, true)).second) {
      return fail(entryError(file.path, "appears twice (ignoring case)"));
    }
    if (file.base.empty() && file.data.empty()) {
      return fail(contextError(context, "has neither a base nor data"));
    }
    if (!file.base.empty()) {
      const auto read = readIndex.find(upperCaseKey(file.base));
      if (read == readIndex.end()) {
        return fail(contextError(context, "has the base \"" + file.base + "\", which isn't read"));
      }
      const DeltaRead& base = manifest.reads[read->second];
      file.base = base.path;
      if (file.data.empty() && (base.size != file.size || base.sha256 != file.sha256)) {
        return fail(contextError(context, "is \"" + base.path +
                                              "\" unchanged, but with another size or SHA-256"));
      }
    }
    manifest.files.push_back(std::move(file));
  }
  for (std::string& folder : manifest.folders) {
    ASSIGN_OR_RETURN(const AcceptedName name, checkEntryName(folder));
    const std::string path = joinedPath(name.components);
    if (!entries.emplace(upperCaseKey(path), std::pair(path, false)).second) {
      return fail(entryError(folder, "appears twice (ignoring case)"));
    }
    folder = path;
  }
  for (const auto& [key, entry] : entries) {
    for (std::size_t slash = key.find('/'); slash != std::string::npos;
         slash = key.find('/', slash + 1)) {
      const auto above = entries.find(key.substr(0, slash));
      if (above != entries.end() && above->second.second) {
        return fail(ErrorCode::badLayout,
                    "package entry \"" + entry.first + "\" lies inside a file");
      }
    }
  }
  return manifest;
}

std::string serializeDeltaManifest(const DeltaManifest& manifest) {
  nlohmann::json reads = nlohmann::json::array();
  for (const DeltaRead& read : manifest.reads) {
    reads.push_back({{"path", read.path}, {"size", read.size}, {"sha256", toHex(read.sha256)}});
  }
  nlohmann::json files = nlohmann::json::array();
  for (const DeltaFile& file : manifest.files) {
    nlohmann::json item = {{"path", file.path}, {"size", file.size}, {"sha256", toHex(file.sha256)}};
    if (!file.base.empty()) item["base"] = file.base;
    if (!file.data.empty()) item["data"] = file.data;
    files.push_back(std::move(item));
  }
  const nlohmann::json document = {{"loftswitch_delta", 1}, {"from", manifest.from},
                                   {"to", manifest.to},      {"reads", reads},
                                   {"files", files},         {"folders", manifest.folders}};
  return document.dump(1) + "\n";
}

}  // namespace loftswitch
