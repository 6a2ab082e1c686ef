#include <regex>
#include <string>

#include "base/text.h"
#include "elevated/request.h"
#include "elevated/validate.h"
#include "fuzz_check.h"
#include "json/strict_json.h"

namespace {

using namespace loftswitch;
using Json = nlohmann::json;

// The documented field rules, written apart from the product's validators.
bool isName(std::string_view text) {
  static const std::regex kName("[a-z0-9][-a-z0-9._]{0,63}");
  return text.size() <= 64 && std::regex_match(text.begin(), text.end(), kName);
}

bool isVersion(std::string_view text) {
  static const std::regex kVersion(
      "[vV]?[0-9]{1,18}(\\.[0-9]{1,18}){0,3}"
      "(-[-0-9A-Za-z]+(\\.[-0-9A-Za-z]+)*)?(\\+[-0-9A-Za-z]+(\\.[-0-9A-Za-z]+)*)?");
  static const std::regex kLongNumber("(^|\\.)[0-9]{19,}(\\.|$)");
  // No pre-release number above 18 digits either.
  const std::string_view core = text.substr(0, text.find('+'));
  const std::size_t dash = core.find('-');
  return text.size() <= 64 && std::regex_match(text.begin(), text.end(), kVersion) &&
         (dash == std::string_view::npos ||
          !std::regex_search(core.begin() + dash + 1, core.end(), kLongNumber));
}

bool isInside(std::string_view path) {
  if (path.empty()) return false;
  for (std::size_t start = 0, end = 0; start <= path.size(); start = end + 1) {
    end = std::min(path.find('/', start), path.size());
    const std::string_view part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == ".." ||
        part.find_first_of(std::string_view(":\\\0", 3)) != std::string_view::npos) {
      return false;
    }
  }
  return true;
}

bool hasNoZero(const std::filesystem::path& path) {
  return std::find(path.native().begin(), path.native().end(), 0) == path.native().end();
}

auto requestFields(const UpdateRequest& r) {
  return std::tie(r.id, r.repair, r.version, r.notes, r.platform, r.url, r.size, r.sha256,
                  r.signature, r.package, r.install, r.userWorkspace, r.executable,
                  r.relaunchArgs, r.relaunchCwd, r.exitMs, r.confirmMs);
}

auto descriptionFields(const InstallDescription& d) {
  return std::tie(d.app, d.version, d.publicKeys, d.executable, d.platforms, d.preserve);
}

void checkRequest(std::string_view text) {
  auto request = readUpdateRequest(text);
  if (!request) {
    FUZZ_CHECK(request.error().code == ErrorCode::invalidData);
    FUZZ_CHECK(request.error().message.starts_with("the update request: "));
    return;
  }
  const UpdateRequest& r = *request;
  FUZZ_CHECK(isAttemptIdText(r.id) && isInside(r.executable) && r.exitMs <= 3600000 &&
             r.confirmMs <= 3600000);
  FUZZ_CHECK(hasNoZero(r.package) && hasNoZero(r.install) && hasNoZero(r.userWorkspace));
  const Json document = Json::parse(text);
  if (!r.repair) {
    FUZZ_CHECK(isVersion(r.version) && isName(r.platform));
    FUZZ_CHECK(r.size >= 1 && r.size <= 9007199254740991);
    // One text for each digest and signature: the one the writers produce.
    FUZZ_CHECK(document.at("sha256") == toHex(r.sha256));
    FUZZ_CHECK(document.at("signature") == encodeBase64(r.signature));
  }
  // The helper's callers write a request back as the library dumps it.
  auto reread = readUpdateRequest(document.dump());
  FUZZ_CHECK(reread.has_value() && requestFields(*reread) == requestFields(r));
}

void checkDescription(std::string_view text) {
  auto description = readInstallDescription(text);
  if (!description) {
    FUZZ_CHECK(description.error().code == ErrorCode::invalidData);
    FUZZ_CHECK(description.error().message.starts_with("loftswitch.json: "));
    return;
  }
  const InstallDescription& d = *description;
  FUZZ_CHECK(isName(d.app) && isVersion(d.version) && isInside(d.executable));
  for (const std::string& platform : d.platforms) FUZZ_CHECK(isName(platform));
  for (const std::string& path : d.preserve) FUZZ_CHECK(isInside(path));
  const Json document = Json::parse(text);
  Json keys = Json::array();
  for (const auto& key : d.publicKeys) keys.push_back(encodeBase64(key));
  FUZZ_CHECK(!d.publicKeys.empty() && document.at("publicKeys") == keys);
  auto reread = readInstallDescription(document.dump());
  FUZZ_CHECK(reread.has_value() && descriptionFields(*reread) == descriptionFields(d));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  checkRequest(fuzzText(data, size));
  checkDescription(fuzzText(data, size));
  return 0;
}
