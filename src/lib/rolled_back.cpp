#include "lib/rolled_back.h"

#include <algorithm>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "elevated/version.h"
#include "json/strict_json.h"
#include "lib/failures.h"
#include "loftswitch/app.h"

namespace loftswitch::applib {
namespace {

constexpr std::uint64_t kFileLimit = 1048576;
// A refusal is news for a release or two; these few cover that.
constexpr std::size_t kRefusalsKept = 8;

struct RolledBack {
  std::string version, attempt, reason, detail;
};

bool sameVersion(const std::string& a, const std::string& b) {
  const auto left = parseVersion(a);
  const auto right = parseVersion(b);
  return left && right ? compareVersions(*left, *right) == 0 : a == b;
}

bool newer(const std::string& version, const std::string& installed) {
  const auto offered = parseVersion(version);
  const auto current = parseVersion(installed);
  return offered && current && compareVersions(*offered, *current) > 0;
}

[[nodiscard]] Outcome<std::vector<RolledBack>> readRecord(FileSystem& fs,
                                                          const std::filesystem::path& file) {
  auto text = fs.readFile(file, kFileLimit);
  if (!text) {
    if (text.error().code == ErrorCode::notFound) return std::vector<RolledBack>();
    return ioFailure("can't read the rolled-back versions: " + text.error().message);
  }
  // Ours alone to write; a damaged one is reported, not guessed at, and an
  // administrator can delete it to forget every rollback.
  const std::string damaged = pathToUtf8(file) + " is damaged: ";
  auto parsed = parseStrictJson(*text, 3);
  if (!parsed) return ioFailure(damaged + parsed.error().message);
  const auto marker = parsed->is_object() ? parsed->find("loftswitch_rolled_back") : parsed->end();
  const auto versions = parsed->is_object() ? parsed->find("versions") : parsed->end();
  if (marker == parsed->end() || *marker != nlohmann::json(1) || versions == parsed->end() ||
      !versions->is_array()) {
    return ioFailure(damaged + "not a version 1 record of rolled-back versions");
  }
  std::vector<RolledBack> record;
  for (const nlohmann::json& element : *versions) {
    FieldReader reader(element, "versions");
    RolledBack entry{reader.string("version", true), reader.string("attempt", false),
                     reader.string("reason", false), reader.string("detail", false)};
    if (auto read = reader.finish(); !read) return ioFailure(damaged + read.error().message);
    record.push_back(std::move(entry));
  }
  return record;
}

// The record without the versions that are no longer newer than
// `installed`, and with the attempt of `current` when it ended rolled back
// and is not in it yet; whether that changed it.
[[nodiscard]] Outcome<std::pair<std::vector<RolledBack>, bool>> currentRecord(
    FileSystem& fs, const std::filesystem::path& file, const std::optional<Journal>& current,
    const std::string& installed) {
  ASSIGN_OR_FAIL(std::vector<RolledBack> record, readRecord(fs, file));
  const std::size_t before = record.size();
  std::erase_if(record, [&](const RolledBack& entry) { return !newer(entry.version, installed); });
  bool changed = record.size() != before;
  if (current && current->state == JournalState::rolledBack && current->outcome &&
      newer(current->to, installed) &&
      std::none_of(record.begin(), record.end(),
                   [&](const RolledBack& entry) { return entry.attempt == current->id; })) {
    record.push_back(RolledBack{current->to, current->id, current->outcome->reason,
                                current->outcome->detail});
    changed = true;
  }
  return std::pair(std::move(record), changed);
}

std::string whyOf(const RolledBack& entry) {
  return entry.reason.empty()   ? entry.detail
         : entry.detail.empty() ? entry.reason
                                : entry.reason + ": " + entry.detail;
}

}  // namespace

Outcome<std::vector<RolledBackVersion>> rolledBackVersions(FileSystem& fs,
                                                           const std::filesystem::path& file,
                                                           const std::optional<Journal>& current,
                                                           const std::string& installed) {
  ASSIGN_OR_FAIL(const auto record, currentRecord(fs, file, current, installed));
  std::vector<RolledBackVersion> versions;
  for (const RolledBack& entry : record.first) versions.push_back({entry.version, whyOf(entry)});
  return versions;
}

std::filesystem::path rolledBackPath(const std::filesystem::path& workspaceFolder) {
  return workspaceFolder / utf8ToPath("rolled-back.json");
}

Outcome<Unit> checkRolledBack(FileSystem& fs, const std::filesystem::path& file,
                              const std::optional<Journal>& current, const std::string& installed,
                              const std::string& offered, bool retry) {
  ASSIGN_OR_FAIL(auto merged, currentRecord(fs, file, current, installed));
  auto& [record, changed] = merged;
  if (changed) {
    nlohmann::json versions = nlohmann::json::array();
    for (const RolledBack& entry : record) {
      versions.push_back({{"version", entry.version},
                          {"attempt", entry.attempt},
                          {"reason", entry.reason},
                          {"detail", entry.detail}});
    }
    const nlohmann::json document = {{"loftswitch_rolled_back", 1}, {"versions", versions}};
    if (auto written = fs.writeFile(file, document.dump(2) + "\n"); !written) {
      return ioFailure("can't record the rolled-back version: " + written.error().message);
    }
  }
  if (retry) return Unit{};
  for (const RolledBack& entry : record) {
    if (!sameVersion(entry.version, offered)) continue;
    const std::string why = whyOf(entry);
    return failWith(LOFTSWITCH_ERROR_REJECTED,
                    "version " + offered + " was rolled back on this install" +
                        (why.empty() ? std::string() : " (" + why + ")") +
                        "; stage it with \"retryRolledBack\": true in the options to try it again");
  }
  return Unit{};
}

std::filesystem::path refusedDeltasPath(const std::filesystem::path& workspaceFolder) {
  return workspaceFolder / utf8ToPath("refused-deltas.json");
}

std::vector<RefusedDelta> refusedDeltas(FileSystem& fs, const std::filesystem::path& file) {
  std::vector<RefusedDelta> refused;
  const auto text = fs.readFile(file, kFileLimit);
  const auto parsed = text ? parseStrictJson(*text, 3) : Result<nlohmann::json>(nlohmann::json());
  if (!parsed || !parsed->is_object() || !parsed->contains("deltas") ||
      !(*parsed)["deltas"].is_array()) {
    return refused;
  }
  for (const nlohmann::json& element : (*parsed)["deltas"]) {
    FieldReader reader(element, "deltas");
    RefusedDelta entry{reader.string("sha256", true), reader.string("why", false)};
    if (reader.finish()) refused.push_back(std::move(entry));
  }
  return refused;
}

Result<Unit> recordRefusedDelta(FileSystem& fs, const std::filesystem::path& file,
                                const RefusedDelta& delta) {
  std::vector<RefusedDelta> refused = refusedDeltas(fs, file);
  std::erase_if(refused, [&](const RefusedDelta& entry) { return entry.sha256 == delta.sha256; });
  refused.push_back(delta);
  if (refused.size() > kRefusalsKept) refused.erase(refused.begin(), refused.end() - kRefusalsKept);
  nlohmann::json deltas = nlohmann::json::array();
  for (const RefusedDelta& entry : refused) {
    deltas.push_back({{"sha256", entry.sha256}, {"why", entry.why}});
  }
  const nlohmann::json document = {{"loftswitch_refused_deltas", 1}, {"deltas", deltas}};
  return fs.writeFile(file, document.dump(2) + "\n");
}

}  // namespace loftswitch::applib
