#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>

#include "base/text.h"
#include "download/transport.h"
#include "elevated/package_contract.h"
#include "fs/local_file_system.h"
#include "host/system_host.h"
#include "json/strict_json.h"
#include "lib/app_library.h"
#include "lib/failures.h"
#include "loftswitch/app.h"

namespace loftswitch::applib {
namespace {

// A copy the caller releases with free() through our own functions, so that
// the allocator of this module also frees it.
char* copyText(std::string_view text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

int report(loftswitch_status* status, int code, std::string_view message) {
  if (status != nullptr) {
    status->code = code;
    status->message = copyText(message);
  }
  return code;
}

// No text of the JSON library reaches the app: it says where a document is
// broken in words of our own.
int report(loftswitch_status* status, const Failure& failure) {
  return report(status, failure.code, plainJsonMessage(failure.message));
}

// A required text argument: present, not empty, and UTF-8. `name` is plural
// when its last word ends in "s" ("the signed fields").
Outcome<std::string_view> required(const char* text, std::string_view name) {
  const std::string is = name.ends_with('s') ? " are " : " is ";
  if (text == nullptr || *text == '\0') return argumentFailure(std::string(name) + is + "missing");
  const std::string_view view(text);
  if (!isValidUtf8(view)) return argumentFailure(std::string(name) + is + "not UTF-8");
  return view;
}

Outcome<std::optional<std::string_view>> optional(const char* text, std::string_view name) {
  if (text == nullptr) return std::optional<std::string_view>();
  ASSIGN_OR_FAIL(const std::string_view view, required(text, name));
  return std::optional<std::string_view>(view);
}

// Paths are taken from this process's current folder, once: the tool and
// the administrator's helper start elsewhere and get them whole.
std::filesystem::path absolutePath(std::string_view text) {
  const std::filesystem::path path = utf8ToPath(text);
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute;
}

Outcome<AppPlaces> places(const char* install, const char* userWorkspace) {
  ASSIGN_OR_FAIL(const std::string_view installText, required(install, "the install folder"));
  ASSIGN_OR_FAIL(const auto userText, optional(userWorkspace, "the user workspace"));
  AppPlaces out;
  out.install = absolutePath(installText);
  if (userText) out.userWorkspace = absolutePath(*userText);
  return out;
}

// Runs one call so that nothing thrown ever reaches the caller.
template <typename Body>
int guarded(loftswitch_status* status, Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return report(status, LOFTSWITCH_ERROR_INTERNAL, "out of memory");
  } catch (const std::exception& failure) {
    return report(status, LOFTSWITCH_ERROR_INTERNAL,
                  std::string("unexpected failure: ") + failure.what());
  } catch (...) {
    return report(status, LOFTSWITCH_ERROR_INTERNAL, "unexpected failure");
  }
}

// The structure as the first version of the ABI has it: every field up to
// here is always there. A field added later is written only when the
// caller's `size` holds it.
constexpr std::uint32_t kFirstOutcomeSize =
    offsetof(loftswitch_outcome, reason_code) + sizeof(int32_t);
// Where a rollback's kept data lies came with the second version.
constexpr std::uint32_t kKeptOutcomeSize =
    offsetof(loftswitch_outcome, kept_bytes) + sizeof(uint64_t);

void clearOffer(loftswitch_offer* offer) {
  for (char** text : {&offer->version, &offer->platform, &offer->notes, &offer->channel,
                      &offer->package_url, &offer->sha256, &offer->signed_json, &offer->published}) {
    std::free(*text);
    *text = nullptr;
  }
  offer->present = 0;
  offer->size = 0;
}

std::function<void(std::uint64_t)> realSleep() {
  return [](std::uint64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
}

// Empties the fields, releasing the texts when `release` (else they are
// taken as never filled).
void clearOutcome(loftswitch_outcome* outcome, bool release) {
  for (char** text : {&outcome->attempt_id, &outcome->from_version, &outcome->to_version,
                      &outcome->result, &outcome->reason, &outcome->detail}) {
    if (release) std::free(*text);
    *text = nullptr;
  }
  outcome->present = 0;
  outcome->result_code = LOFTSWITCH_RESULT_OTHER;
  outcome->reason_code = LOFTSWITCH_REASON_NONE;
  if (outcome->size >= kKeptOutcomeSize) {
    if (release) std::free(outcome->kept_path);
    outcome->kept_path = nullptr;
    outcome->kept_bytes = 0;
  }
}

using WordCodes = std::pair<std::string_view, int32_t>;

// The numbers of the results and reasons; a word this library doesn't know
// is "other", so that an app can tell it from the words it acts on.
constexpr WordCodes kResultCodes[] = {
    {"updated", LOFTSWITCH_RESULT_UPDATED},
    {"rolled-back", LOFTSWITCH_RESULT_ROLLED_BACK},
    {"app-still-running", LOFTSWITCH_RESULT_APP_STILL_RUNNING},
    {"needs-repair", LOFTSWITCH_RESULT_NEEDS_REPAIR}};
constexpr WordCodes kReasonCodes[] = {
    {"", LOFTSWITCH_REASON_NONE},
    {"in-use", LOFTSWITCH_REASON_IN_USE},
    {"not-writable", LOFTSWITCH_REASON_NOT_WRITABLE},
    {"io", LOFTSWITCH_REASON_IO},
    {"launch-failed", LOFTSWITCH_REASON_LAUNCH_FAILED},
    {"exited", LOFTSWITCH_REASON_EXITED},
    {"interrupted", LOFTSWITCH_REASON_INTERRUPTED},
    {"rejected", LOFTSWITCH_REASON_REJECTED},
    {"elevation-failed", LOFTSWITCH_REASON_ELEVATION_FAILED},
    {"rollback-incomplete", LOFTSWITCH_REASON_ROLLBACK_INCOMPLETE}};

int32_t codeOf(std::span<const WordCodes> codes, std::string_view word, int32_t other) {
  for (const auto& [known, code] : codes) {
    if (word == known) return code;
  }
  return other;
}

}  // namespace
}  // namespace loftswitch::applib

using namespace loftswitch;
using namespace loftswitch::applib;

extern "C" {

const char* loftswitch_version(void) { return LOFTSWITCH_VERSION; }

uint32_t loftswitch_abi_version(void) { return LOFTSWITCH_ABI_VERSION; }

void loftswitch_status_free(loftswitch_status* status) {
  if (status == nullptr) return;
  std::free(status->message);
  status->message = nullptr;
  status->code = LOFTSWITCH_OK;
}

void loftswitch_outcome_free(loftswitch_outcome* outcome) {
  if (outcome != nullptr) clearOutcome(outcome, true);
}

int loftswitch_stage_package(const char* install_folder, const char* user_workspace,
                             const char* trust_json, const char* package_path,
                             const char* signed_json, const char* options_json, char* attempt_id,
                             loftswitch_status* status) {
  return loftswitch_stage_package_with_progress(install_folder, user_workspace, trust_json,
                                                package_path, signed_json, options_json, nullptr,
                                                nullptr, attempt_id, status);
}

int loftswitch_stage_package_with_progress(const char* install_folder,
                                           const char* user_workspace, const char* trust_json,
                                           const char* package_path, const char* signed_json,
                                           const char* options_json,
                                           loftswitch_progress_fn progress,
                                           void* progress_context, char* attempt_id,
                                           loftswitch_status* status) {
  return guarded(status, [&]() -> int {
    if (attempt_id != nullptr) attempt_id[0] = '\0';
    auto where = places(install_folder, user_workspace);
    if (!where) return report(status, where.error());
    auto trust = optional(trust_json, "the install description");
    if (!trust) return report(status, trust.error());
    auto package = required(package_path, "the package");
    if (!package) return report(status, package.error());
    auto signedFields = required(signed_json, "the signed fields");
    if (!signedFields) return report(status, signedFields.error());
    auto options = optional(options_json, "the options");
    if (!options) return report(status, options.error());
    if (attempt_id == nullptr) {
      return report(status, LOFTSWITCH_ERROR_ARGUMENT, "the attempt id buffer is missing");
    }
    StageProgress relay;
    if (progress != nullptr) {
      relay = [&](int phase, std::uint64_t done, std::uint64_t total) {
        return progress(phase, done, total, progress_context) == 0;
      };
    }
    LocalFileSystem fs;
    SystemHost host;
    auto staged = stagePackage(
        fs, host, *where, *trust ? std::optional<std::string>(std::string(**trust)) : std::nullopt,
        absolutePath(*package), *signedFields, options->value_or(std::string_view()), {}, relay);
    if (!staged) return report(status, staged.error());
    forgetStagedDownload(fs, *where, utf8ToPath(*package));
    std::memcpy(attempt_id, staged->id.c_str(), LOFTSWITCH_ATTEMPT_ID_SIZE);
    return report(status, LOFTSWITCH_OK, staged->message);
  });
}

int loftswitch_start_apply(const char* install_folder, const char* user_workspace,
                           const char* attempt_id, const char* tool_path,
                           loftswitch_status* status) {
  return guarded(status, [&]() -> int {
    auto where = places(install_folder, user_workspace);
    if (!where) return report(status, where.error());
    auto id = required(attempt_id, "the attempt id");
    if (!id) return report(status, id.error());
    auto tool = optional(tool_path, "the tool path");
    if (!tool) return report(status, tool.error());
    LocalFileSystem fs;
    SystemStarter starter;
    auto started = startApply(fs, starter, *where, *id,
                              *tool ? absolutePath(**tool) : std::filesystem::path());
    if (!started) return report(status, started.error());
    return report(status, LOFTSWITCH_OK, *started);
  });
}

int loftswitch_confirm_startup(const char* install_folder, const char* user_workspace,
                               uint32_t lock_wait_ms, int32_t* confirmation,
                               loftswitch_status* status) {
  return guarded(status, [&]() -> int {
    if (confirmation != nullptr) *confirmation = LOFTSWITCH_NOT_RELAUNCHED;
    auto where = places(install_folder, user_workspace);
    if (!where) return report(status, where.error());
    LocalFileSystem fs;
    SystemHost host;
    auto confirmed = confirmStartup(fs, host, *where, relaunchVariable(), lock_wait_ms);
    if (!confirmed) return report(status, confirmed.error());
    if (confirmation != nullptr) *confirmation = confirmed->kind;
    return report(status, LOFTSWITCH_OK, confirmed->message);
  });
}

int loftswitch_read_outcome(const char* install_folder, const char* user_workspace,
                            loftswitch_outcome* outcome, loftswitch_status* status) {
  return guarded(status, [&]() -> int {
    if (outcome == nullptr) return report(status, LOFTSWITCH_ERROR_ARGUMENT, "the outcome is missing");
    if (outcome->size < kFirstOutcomeSize) {
      return report(status, LOFTSWITCH_ERROR_ARGUMENT,
                    "the outcome's size is " + std::to_string(outcome->size) +
                        ": set it to sizeof(loftswitch_outcome) before the call, so that the "
                        "library knows which fields the program has");
    }
    clearOutcome(outcome, false);
    auto where = places(install_folder, user_workspace);
    if (!where) return report(status, where.error());
    LocalFileSystem fs;
    auto read = readOutcome(fs, *where);
    if (!read) return report(status, read.error());
    if (read->present) {
      outcome->attempt_id = copyText(read->id);
      outcome->from_version = copyText(read->from);
      outcome->to_version = copyText(read->to);
      outcome->result = copyText(read->result);
      outcome->reason = copyText(read->reason);
      outcome->detail = copyText(read->detail);
      const bool kept = outcome->size >= kKeptOutcomeSize;
      if (kept) {
        outcome->kept_path = copyText(read->kept);
        outcome->kept_bytes = read->keptBytes;
      }
      if (!outcome->attempt_id || !outcome->from_version || !outcome->to_version ||
          !outcome->result || !outcome->reason || !outcome->detail ||
          (kept && !outcome->kept_path)) {
        clearOutcome(outcome, true);
        return report(status, LOFTSWITCH_ERROR_INTERNAL, "out of memory");
      }
      outcome->present = 1;
      outcome->result_code = codeOf(kResultCodes, read->result, LOFTSWITCH_RESULT_OTHER);
      outcome->reason_code = codeOf(kReasonCodes, read->reason, LOFTSWITCH_REASON_OTHER);
    }
    return report(status, LOFTSWITCH_OK, read->message);
  });
}

int loftswitch_mark_reported(const char* install_folder, const char* user_workspace,
                             const char* attempt_id, uint32_t lock_wait_ms,
                             loftswitch_status* status) {
  return guarded(status, [&]() -> int {
    auto where = places(install_folder, user_workspace);
    if (!where) return report(status, where.error());
    auto id = required(attempt_id, "the attempt id");
    if (!id) return report(status, id.error());
    LocalFileSystem fs;
    SystemHost host;
    auto marked = markReported(fs, host, *where, *id, lock_wait_ms);
    if (!marked) return report(status, marked.error());
    return report(status, LOFTSWITCH_OK, *marked);
  });
}

void loftswitch_offer_free(loftswitch_offer* offer) {
  if (offer != nullptr) clearOffer(offer);
}

const char* loftswitch_offer_kind(const loftswitch_offer* offer) {
  if (offer == nullptr || offer->present == 0 || offer->signed_json == nullptr) return "";
  const auto fields = loftswitch::parseStrictJson(offer->signed_json, 4);
  return fields && fields->is_object() && fields->contains("from") ? "delta" : "full";
}

void loftswitch_string_free(char* text) { std::free(text); }

int loftswitch_check_for_update(const char* install_folder, const char* user_workspace,
                                const char* feed_url, const char* options_json,
                                loftswitch_offer* offer, loftswitch_status* status) {
  return guarded(status, [&]() -> int {
    if (offer == nullptr) return report(status, LOFTSWITCH_ERROR_ARGUMENT, "the offer is missing");
    *offer = loftswitch_offer{};
    auto where = places(install_folder, user_workspace);
    if (!where) return report(status, where.error());
    auto feed = required(feed_url, "the feed address");
    if (!feed) return report(status, feed.error());
    auto options = optional(options_json, "the options");
    if (!options) return report(status, options.error());
    LocalFileSystem fs;
    const auto transport = makeSystemTransport();
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now().time_since_epoch());
    auto found = checkForUpdate(fs, *transport, *where, *feed, options->value_or(std::string_view()),
                                now.count(), realSleep());
    if (!found) return report(status, found.error());
    if (found->feed.present) {
      const FeedOffer& chosen = found->feed.offer;
      offer->version = copyText(chosen.version);
      offer->platform = copyText(chosen.platform);
      offer->notes = copyText(chosen.notes);
      offer->channel = copyText(found->channel);
      offer->package_url = copyText(found->feed.packageUrl);
      offer->sha256 = copyText(toHex(chosen.sha256));
      offer->signed_json = copyText(found->feed.signedJson);
      offer->published = copyText(found->feed.published);
      if (!offer->version || !offer->platform || !offer->notes || !offer->channel ||
          !offer->package_url || !offer->sha256 || !offer->signed_json || !offer->published) {
        clearOffer(offer);
        return report(status, LOFTSWITCH_ERROR_INTERNAL, "out of memory");
      }
      offer->size = chosen.size;
      offer->present = 1;
    }
    return report(status, LOFTSWITCH_OK, found->feed.message);
  });
}

int loftswitch_download_update(const char* install_folder, const char* user_workspace,
                               const loftswitch_offer* offer, loftswitch_progress_fn progress,
                               void* progress_context, char** package_path,
                               loftswitch_status* status) {
  return guarded(status, [&]() -> int {
    if (package_path != nullptr) *package_path = nullptr;
    auto where = places(install_folder, user_workspace);
    if (!where) return report(status, where.error());
    if (package_path == nullptr) {
      return report(status, LOFTSWITCH_ERROR_ARGUMENT, "the package path is missing");
    }
    if (offer == nullptr || offer->present != 1) {
      return report(status, LOFTSWITCH_ERROR_ARGUMENT, "no offer: check for an update first");
    }
    OfferToFetch fetch;
    fetch.size = offer->size;
    for (auto [text, name, into] :
         {std::tuple(offer->version, "the offer's version", &fetch.version),
          std::tuple(offer->package_url, "the offer's package_url", &fetch.packageUrl),
          std::tuple(offer->sha256, "the offer's sha256", &fetch.sha256),
          std::tuple(offer->signed_json, "the offer's signed_json", &fetch.signedJson)}) {
      auto given = required(text, name);
      if (!given) return report(status, given.error());
      *into = std::string(*given);
    }
    DownloadProgress relay;
    if (progress != nullptr) {
      relay = [&](std::uint64_t done, std::uint64_t total) {
        return progress(LOFTSWITCH_PHASE_DOWNLOADING, done, total, progress_context) == 0;
      };
    }
    LocalFileSystem fs;
    const auto transport = makeSystemTransport();
    SystemHost host;
    auto downloaded = downloadUpdate(fs, host, *transport, *where, fetch, relay, realSleep());
    if (!downloaded) return report(status, downloaded.error());
    *package_path = copyText(pathToUtf8(downloaded->package));
    if (*package_path == nullptr) return report(status, LOFTSWITCH_ERROR_INTERNAL, "out of memory");
    return report(status, LOFTSWITCH_OK, downloaded->message);
  });
}

}  // extern "C"
