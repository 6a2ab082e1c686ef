#include "elevated/package_contract.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "base/text.h"
#include "elevated/request.h"

namespace loftswitch {
namespace {

// The limit under which the elevated helper reads an install's description.
constexpr std::uint64_t kDescriptionLimit = 65536;

std::unexpected<Error> broken(std::string message) {
  return fail(ErrorCode::badLayout, std::move(message));
}

bool holdsFile(FileSystem& fs, const std::filesystem::path& path) {
  return fs.exists(path) && !fs.isFolder(path);
}

// A relative "/"-separated path below `root`, one component at a time, so
// that no host's separator rules take part.
std::filesystem::path below(const std::filesystem::path& root, std::string_view relative) {
  std::filesystem::path path = root;
  while (!relative.empty()) {
    const std::size_t slash = relative.find('/');
    path /= utf8ToPath(relative.substr(0, slash));
    relative = slash == std::string_view::npos ? std::string_view() : relative.substr(slash + 1);
  }
  return path;
}

std::optional<std::uint64_t> numberAfter(std::string_view text, std::string_view label) {
  const std::size_t at = text.find(label);
  if (at == std::string_view::npos) return std::nullopt;
  std::uint64_t number = 0;
  std::size_t digits = 0;
  for (std::size_t i = at + label.size(); i < text.size() && digits < 12; ++i, ++digits) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) break;
    number = number * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  if (digits == 0) return std::nullopt;
  return number;
}

}  // namespace

Result<Unit> checkPackageContract(FileSystem& fs, const std::filesystem::path& root,
                                  const PackageExpectation& expected) {
  const std::filesystem::path descriptionPath = root / utf8ToPath("loftswitch.json");
  if (!holdsFile(fs, descriptionPath)) {
    // The usual slip: zipping the folder rather than what is in it.
    if (auto names = fs.list(root); names && names->size() == 1 &&
                                    holdsFile(fs, root / utf8ToPath(names->front()) /
                                                      utf8ToPath("loftswitch.json"))) {
      return broken("the package has no loftswitch.json file at its root: the zip holds one "
                    "folder, " + names->front() + "/: zip its contents instead");
    }
    return broken(
        "the package has no loftswitch.json file at its root: the installed version needs one "
        "to be updated again");
  }
  auto text = fs.readFile(descriptionPath, kDescriptionLimit);
  if (!text) {
    if (text.error().code != ErrorCode::tooLarge) return fail(text.error());
    return broken("the package's loftswitch.json is larger than " +
                  std::to_string(kDescriptionLimit) + " bytes");
  }
  auto description = readInstallDescription(*text);
  if (!description) {
    return fail(ErrorCode::invalidData, "the package's " + description.error().message);
  }
  if (!expected.app.empty() && description->app != expected.app) {
    return broken("the package's loftswitch.json is for app \"" + description->app +
                  "\", not \"" + expected.app + "\"");
  }
  if (!expected.version.empty() && description->version != expected.version) {
    return broken("the package's loftswitch.json says version \"" + description->version +
                  "\", but the package is signed as version \"" + expected.version + "\"");
  }
  const auto& platforms = description->platforms;
  if (expected.platform.empty() ? platforms.empty()
                                : std::find(platforms.begin(), platforms.end(),
                                            expected.platform) == platforms.end()) {
    return broken(expected.platform.empty()
                      ? "the package's loftswitch.json lists no platforms"
                      : "the package's loftswitch.json doesn't list the platform \"" +
                            expected.platform + "\" among its platforms");
  }
  if (!holdsFile(fs, below(root, description->executable))) {
    return broken("the package has no " + description->executable +
                  ", the executable its loftswitch.json names");
  }
  if (!holdsFile(fs, root / utf8ToPath("loftswitch-apply.exe"))) {
    return broken(
        "the package has no loftswitch-apply.exe at its root: the installed version needs it "
        "to be updated again");
  }
  return Unit{};
}

std::string plainJsonMessage(std::string_view message) {
  const std::size_t at = message.find("[json.exception.");
  if (at == std::string_view::npos) return std::string(message);
  const std::string_view library = message.substr(at);
  std::string plain(message.substr(0, at));
  plain += library.find("UTF-8") != std::string_view::npos ? "not valid UTF-8" : "not valid JSON";
  const auto line = numberAfter(library, "at line ");
  const auto column = numberAfter(library, ", column ");
  if (line && column) {
    plain += " at line " + std::to_string(*line) + ", column " + std::to_string(*column);
  }
  return plain;
}

}  // namespace loftswitch
