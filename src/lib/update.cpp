// Finding an update in a feed and fetching its package: the library's glue
// between the application's call and the portable deciders.
#include <nlohmann/json.hpp>

#include "base/file.h"
#include "base/text.h"
#include "download/download.h"
#include "download/url.h"
#include "elevated/validate.h"
#include "elevated/verify.h"
#include "json/strict_json.h"
#include "lib/app_library.h"
#include "lib/failures.h"
#include "lib/rolled_back.h"
#include "loftswitch/app.h"
#include "workspace/journal_store.h"
#include "workspace/lock.h"
#include "workspace/workspace.h"

namespace loftswitch::applib {
namespace {

constexpr std::uint64_t kDescriptionLimit = 65536;
constexpr std::uint64_t kPackageLimit = 0x100000000;
constexpr std::uint64_t kResumeLimit = 65536;

struct Install {
  InstallDescription description;
  bool allowHttp = false;
};

[[nodiscard]] Outcome<Install> readInstall(FileSystem& fs, const AppPlaces& places) {
  auto text = fs.readFile(places.install / utf8ToPath("loftswitch.json"), kDescriptionLimit);
  if (!text) {
    return argumentFailure("no loftswitch.json in the install folder (" + text.error().message + ")");
  }
  auto description = readInstallDescription(*text);
  if (!description) return argumentFailure(description.error().message);
  Install install{std::move(*description)};
  // Read beside the description: the administrator's helper has no use for it.
  const nlohmann::json document = parseStrictJson(*text, 4).value_or(nlohmann::json::object());
  if (const auto allow = document.find("allowHttp"); allow != document.end()) {
    if (!allow->is_boolean()) return argumentFailure("loftswitch.json: allowHttp must be true or false");
    install.allowHttp = allow->get<bool>();
  }
  return install;
}

[[nodiscard]] Outcome<nlohmann::json> readOptions(std::string_view text, std::string_view what) {
  if (text.empty()) return nlohmann::json::object();
  auto parsed = parseStrictJson(text, 4);
  if (!parsed) return argumentFailure(std::string(what) + ": " + parsed.error().message);
  if (!parsed->is_object()) return argumentFailure(std::string(what) + ": not a JSON object");
  return std::move(*parsed);
}

// Where staging keeps its records: the user workspace when only an
// administrator can change the install.
std::filesystem::path updateFolder(FileSystem& fs, const AppPlaces& places) {
  if (places.userWorkspace && !fs.checkWritable(places.install)) return *places.userWorkspace;
  return workspaceForInstall(places.install, Layout::folder).workspacePath;
}

std::filesystem::path downloadsFolder(const std::filesystem::path& folder) {
  return folder / utf8ToPath("downloads");
}

Failure fetchFailure(const std::string& context, const Error& error) {
  switch (error.code) {
    case ErrorCode::fetchFailed:
    case ErrorCode::unavailable:
      return Failure{LOFTSWITCH_ERROR_NETWORK, context + ": " + error.message};
    case ErrorCode::badSignature:
    case ErrorCode::invalidData:
    case ErrorCode::tooLarge:
    case ErrorCode::sizeMismatch:
    case ErrorCode::digestMismatch:
      return Failure{LOFTSWITCH_ERROR_REJECTED, error.message};
    default:
      return Failure{LOFTSWITCH_ERROR_IO, context + ": " + error.message};
  }
}

class FilePartial final : public PartialFile {
 public:
  explicit FilePartial(OpenFile file) : file_(std::move(file)) {}
  Result<std::uint64_t> size() override { return fileSize(file_); }
  Result<Unit> truncate(std::uint64_t size) override { return truncateAt(file_, size); }
  Result<Unit> write(std::span<const std::uint8_t> bytes) override {
    return writeAll(file_, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
  Result<Unit> readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
    return readExactAt(file_, offset, buffer);
  }
  void close() { file_.close(); }

 private:
  OpenFile file_;
};

ResumeState readResume(FileSystem& fs, const std::filesystem::path& file) {
  // Anything unreadable only costs a fresh start.
  const auto text = fs.readFile(file, kResumeLimit);
  const auto parsed = text ? parseStrictJson(*text, 2) : Result<nlohmann::json>(nlohmann::json());
  if (!parsed || !parsed->is_object()) return {};
  FieldReader reader(*parsed, "resume");
  ResumeState state{reader.string("url", true), reader.string("etag", false),
                    reader.string("lastModified", false)};
  return reader.finish() ? state : ResumeState{};
}

// Everything in the downloads folder but `keep` and the lock.
void removeOthers(FileSystem& fs, const std::filesystem::path& downloads, const std::string& keep) {
  const auto entries = fs.list(downloads);
  if (!entries) return;
  for (const std::string& name : *entries) {
    // Best effort: a leftover costs disk until the next download, nothing else.
    if (name != keep && name != "download.lock") (void)fs.remove(downloads / utf8ToPath(name));
  }
}

}  // namespace

Outcome<FoundUpdate> checkForUpdate(FileSystem& fs, Transport& transport, const AppPlaces& places,
                                    std::string_view feedUrl, std::string_view optionsJson,
                                    std::int64_t now,
                                    const std::function<void(std::uint64_t)>& sleep) {
  ASSIGN_OR_FAIL(const Install install, readInstall(fs, places));
  ASSIGN_OR_FAIL(const nlohmann::json options, readOptions(optionsJson, "the options"));
  FeedCheck check;
  check.feedUrl = std::string(feedUrl);
  check.now = now;
  for (const auto& [key, value] : options.items()) {
    if (key == "channel" && value.is_string() && isValidName(value.get<std::string>())) {
      check.channel = value.get<std::string>();
    } else if (key == "retryRolledBack" && value.is_boolean()) {
      check.retryRolledBack = value.get<bool>();
    } else if (key == "channel" || key == "retryRolledBack") {
      return argumentFailure("the options: " + key + (key == "channel" ? " must be a channel name "
                             "such as \"stable\"" : " must be true or false"));
    } else {
      return argumentFailure("the options: unknown key \"" + key + "\"");
    }
  }
  if (auto parsed = parseUrl(feedUrl); !parsed) {
    return argumentFailure("the feed address: " + parsed.error().message);
  }
  const std::filesystem::path folder = updateFolder(fs, places);
  const auto journal = loadJournal(fs, workspaceForInstall(places.install, Layout::folder));
  ASSIGN_OR_FAIL(check.rolledBack,
                 rolledBackVersions(fs, rolledBackPath(folder),
                                    journal ? std::optional<Journal>(*journal) : std::nullopt,
                                    install.description.version));
  check.refusedDeltas = refusedDeltas(fs, refusedDeltasPath(folder));
  auto bytes = fetchDocument(transport, feedUrl, install.allowHttp, kFeedLimit, sleep);
  if (!bytes) return std::unexpected(fetchFailure("can't fetch the feed", bytes.error()));
  if (auto made = fs.createFolders(folder); !made) {
    return ioFailure("can't check the feed: " + made.error().message);
  }
  auto checked = checkFeed(fs, folder / utf8ToPath("feeds.json"), install.description, *bytes, check);
  if (!checked) return std::unexpected(fetchFailure("can't check the feed", checked.error()));
  return FoundUpdate{std::move(*checked), check.channel};
}

Outcome<Downloaded> downloadUpdate(FileSystem& fs, Clock& clock, Transport& transport,
                                   const AppPlaces& places, const OfferToFetch& offer,
                                   const DownloadProgress& progress,
                                   const std::function<void(std::uint64_t)>& sleep) {
  ASSIGN_OR_FAIL(const Install install, readInstall(fs, places));
  DownloadTarget target{offer.packageUrl, offer.size, {}, install.allowHttp};
  if (auto parsed = parseUrl(offer.packageUrl); !parsed) {
    return argumentFailure("the offer's package_url: " + parsed.error().message);
  }
  const auto digest = decodeHex(offer.sha256);
  if (!digest || digest->size() != target.sha256.size() || offer.size < 1 ||
      offer.size > kPackageLimit) {
    return argumentFailure("the offer's size and sha256 are not those of a package");
  }
  std::copy(digest->begin(), digest->end(), target.sha256.begin());
  ASSIGN_OR_FAIL(const nlohmann::json fields, readOptions(offer.signedJson, "the offer's signed_json"));
  if (fields.value("size", nlohmann::json()) != offer.size ||
      fields.value("sha256", nlohmann::json()) != offer.sha256) {
    return argumentFailure("the offer's signed_json is for another package than its size and sha256");
  }
  const std::string what = "version " + offer.version;

  const std::filesystem::path downloads = downloadsFolder(updateFolder(fs, places));
  if (auto made = fs.createFolders(downloads); !made) {
    return ioFailure("can't download " + what + ": " + made.error().message);
  }
  auto lock = acquireWorkspaceLock(fs, clock, downloads / utf8ToPath("download.lock"), 0);
  if (!lock) {
    if (lock.error().code == ErrorCode::locked) {
      return failWith(LOFTSWITCH_ERROR_BUSY, "can't download " + what +
                                                 ": another download runs in this workspace");
    }
    return ioFailure("can't download " + what + ": " + lock.error().message);
  }
  const std::string finalName = offer.sha256 + ".zip";
  const std::filesystem::path finished = downloads / utf8ToPath(finalName);
  const std::filesystem::path partialPath = downloads / utf8ToPath(offer.sha256 + ".partial");
  const std::filesystem::path resumePath = downloads / utf8ToPath(offer.sha256 + ".resume.json");
  if (fs.exists(finished)) {
    UpdateRequest signedSize;
    signedSize.size = target.size;
    signedSize.sha256 = target.sha256;
    if (hashPackage(finished, signedSize)) {
      removeOthers(fs, downloads, finalName);
      return Downloaded{finished, what + " was downloaded before: " + pathToUtf8(finished)};
    }
    (void)fs.remove(finished);  // fetched again below, which replaces it anyway
  }

  auto opened = openFile(partialPath, OpenMode::openAlways);
  if (!opened) return ioFailure("can't download " + what + ": " + opened.error().message);
  FilePartial partial(std::move(*opened));
  bool cancelled = false;
  DownloadHooks hooks;
  hooks.sleep = sleep;
  hooks.saveResume = [&](const ResumeState& state) -> Result<Unit> {
    const nlohmann::json document = {
        {"url", state.url}, {"etag", state.etag}, {"lastModified", state.lastModified}};
    return fs.writeFile(resumePath, document.dump() + "\n");
  };
  hooks.progress = [&](std::uint64_t done, std::uint64_t total) {
    cancelled = progress && !progress(done, total);
    return !cancelled;
  };
  auto fetched = downloadInto(transport, partial, target, readResume(fs, resumePath), hooks);
  const std::uint64_t kept = partial.size().value_or(0);
  partial.close();
  if (!fetched) {
    const Error& error = fetched.error();
    if (kept == 0) {
      // Nothing to resume: leave no trace.
      (void)fs.remove(partialPath);
      (void)fs.remove(resumePath);
    }
    if (cancelled) {
      return failWith(LOFTSWITCH_CANCELLED, "cancelled by the application while downloading " +
                                                what + "; the " + std::to_string(kept) +
                                                " bytes fetched are kept for the next call");
    }
    if (error.code == ErrorCode::sizeMismatch || error.code == ErrorCode::digestMismatch) {
      (void)fs.remove(partialPath);
      (void)fs.remove(resumePath);
      return failWith(LOFTSWITCH_ERROR_REJECTED, "the download of " + what + " is refused: " +
                                                     error.message + "; nothing of it is kept");
    }
    Failure failure = fetchFailure("can't download " + what, error);
    if (kept > 0) failure.message += "; the " + std::to_string(kept) + " bytes fetched are kept for the next call";
    return std::unexpected(failure);
  }
  if (auto moved = fs.move(partialPath, finished); !moved) {
    return ioFailure("can't download " + what + ": " + moved.error().message);
  }
  removeOthers(fs, downloads, finalName);
  std::string notes;
  const auto note = [&](std::uint64_t n, const std::string& one, const std::string& many) {
    if (n > 0) notes += (notes.empty() ? " (" : ", ") + std::to_string(n) + " " + (n == 1 ? one : many);
  };
  note(fetched->kept, "byte kept from an earlier call", "bytes kept from an earlier call");
  note(fetched->retries, "retry", "retries");
  note(fetched->resumes, "range resumed", "ranges resumed");
  note(fetched->freshStarts, "fresh start", "fresh starts");
  const std::string message = "downloaded " + what + " (" + std::to_string(target.size) +
                              " bytes) into " + pathToUtf8(finished) + notes + (notes.empty() ? "" : ")");
  return Downloaded{finished, message};
}

void forgetStagedDownload(FileSystem& fs, const AppPlaces& places,
                          const std::filesystem::path& package) {
  const std::filesystem::path own =
      downloadsFolder(workspaceForInstall(places.install, Layout::folder).workspacePath);
  // Best effort: a leftover goes with the next download.
  if (package.parent_path() == own) (void)fs.remove(package);
}

}  // namespace loftswitch::applib
