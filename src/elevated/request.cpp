#include "elevated/request.h"

#include <optional>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "elevated/validate.h"
#include "elevated/version.h"
#include "fs/file_system.h"
#include "json/strict_json.h"
#include "swap/swap_plan.h"

namespace loftswitch {
namespace {

constexpr std::string_view kRequestContext = "the update request";
constexpr std::string_view kDescriptionContext = "loftswitch.json";
constexpr std::uint32_t kMaxDepth = 4;
constexpr std::uint64_t kMaxSize = 9007199254740991;  // 2^53 - 1, exact in every JSON reader
constexpr std::uint64_t kMaxWaitMs = 3600000;
constexpr std::uint64_t kDefaultWaitMs = 60000;

constexpr std::string_view kExecutableDetail =
    "executable must be a relative path inside the install folder";

// Version 1 of a document: the marker member equals the number 1 (1.0 too).
bool hasVersionOne(const nlohmann::json& document, const char* marker) {
  if (!document.is_object()) return false;
  const auto member = document.find(marker);
  return member != document.end() && *member == nlohmann::json(1);
}

}  // namespace

Result<UpdateRequest> readUpdateRequest(std::string_view text) {
  auto parsed = parseStrictJson(text, kMaxDepth);
  if (!parsed) return fail(contextError(kRequestContext, parsed.error().message));
  const nlohmann::json& document = *parsed;
  if (!hasVersionOne(document, "loftswitch_request")) {
    return fail(contextError(kRequestContext, "not a version 1 request"));
  }

  UpdateRequest request;
  FieldReader reader(document, std::string(kRequestContext));
  // The reader keeps only the first failure; a bad "repair" counts in its
  // place among the fields, after "id".
  std::optional<std::string> repairFailure;
  request.id = reader.string("id", true);
  if (const auto repair = document.find("repair"); repair != document.end()) {
    if (repair->is_boolean()) {
      request.repair = repair->get<bool>();
    } else if (reader.firstError().empty()) {
      repairFailure = "repair must be true or false";
    }
  }
  const bool required = !request.repair;
  request.version = reader.string("version", required);
  request.from = reader.string("from", false);
  request.notes = reader.string("notes", false);
  request.platform = reader.string("platform", required);
  request.url = reader.string("url", false);
  request.size = reader.integer("size", 0, kMaxSize);
  const std::optional<Bytes> sha256 = decodeHex(reader.string("sha256", required));
  const std::optional<Bytes> signature = decodeBase64(reader.string("signature", required));
  request.keyId = reader.string("keyId", false);
  request.package = utf8ToPath(reader.string("package", required));
  request.install = utf8ToPath(reader.string("install", true));
  request.userWorkspace = utf8ToPath(reader.string("userWorkspace", true));
  request.executable = reader.string("executable", true);
  request.relaunchArgs = reader.strings("relaunchArgs");
  request.relaunchCwd = reader.string("relaunchCwd", false);
  request.exitMs = reader.integer("exitMs", kDefaultWaitMs, kMaxWaitMs);
  request.confirmMs = reader.integer("confirmMs", kDefaultWaitMs, kMaxWaitMs);
  if (repairFailure) return fail(contextError(kRequestContext, *repairFailure));
  RETURN_IF_ERROR(reader.finish());

  if (!isAttemptId(request.id)) {
    return fail(contextError(kRequestContext, "id must be 16 lowercase hex digits"));
  }
  if (!request.keyId.empty() && (request.keyId.size() != 16 || !decodeHex(request.keyId))) {
    return fail(contextError(kRequestContext, "keyId must be 16 lowercase hex digits"));
  }
  if (!isRelativeInside(request.executable)) {
    return fail(contextError(kRequestContext, kExecutableDetail));
  }
  // Windows ends a path at a zero character: "C:\\App\0x" would name C:\App.
  for (const auto& [name, path] : {std::pair<const char*, const std::filesystem::path*>{
                                       "package", &request.package},
                                   {"install", &request.install},
                                   {"userWorkspace", &request.userWorkspace}}) {
    if (path->native().find(L'\0') != std::wstring::npos) {
      return fail(contextError(kRequestContext,
                               std::string(name) + " must not hold a zero character"));
    }
  }
  if (request.repair) {
    // A repair installs nothing: the package fields are not looked at.
    if (sha256 && sha256->size() == request.sha256.size()) {
      std::copy(sha256->begin(), sha256->end(), request.sha256.begin());
    }
    if (signature && signature->size() == request.signature.size()) {
      std::copy(signature->begin(), signature->end(), request.signature.begin());
    }
    return request;
  }
  if (!sha256 || sha256->size() != request.sha256.size()) {
    return fail(contextError(kRequestContext, "sha256 must be 64 lowercase hex digits"));
  }
  if (!signature || signature->size() != request.signature.size()) {
    return fail(contextError(kRequestContext, "signature must be 64 bytes of base64"));
  }
  if (!parseVersion(request.version)) {
    return fail(contextError(kRequestContext, "version is not a valid version"));
  }
  if (!request.from.empty() && !parseVersion(request.from)) {
    return fail(contextError(kRequestContext, "from is not a valid version"));
  }
  if (!isValidName(request.platform)) {
    return fail(contextError(kRequestContext, "platform is not a valid name"));
  }
  if (request.size < 1) {
    return fail(contextError(kRequestContext, "size must be at least 1"));
  }
  std::copy(sha256->begin(), sha256->end(), request.sha256.begin());
  std::copy(signature->begin(), signature->end(), request.signature.begin());
  return request;
}

Result<InstallDescription> readInstallDescription(std::string_view text) {
  auto parsed = parseStrictJson(text, kMaxDepth);
  if (!parsed) return fail(contextError(kDescriptionContext, parsed.error().message));
  const nlohmann::json& document = *parsed;
  if (!hasVersionOne(document, "loftswitch_install")) {
    return fail(contextError(kDescriptionContext, "not a version 1 install description"));
  }

  InstallDescription description;
  FieldReader reader(document, std::string(kDescriptionContext));
  description.app = reader.string("app", true);
  description.version = reader.string("version", true);
  description.executable = reader.string("executable", true);
  description.platforms = reader.strings("platforms");
  description.preserve = reader.strings("preserve");
  const std::vector<std::string> keyTexts = reader.strings("publicKeys");
  // The key texts are the last field read: a bad key is the first failure
  // exactly when no field before it failed.
  std::optional<std::string> keyFailure;
  for (const std::string& keyText : keyTexts) {
    const std::optional<Bytes> key = decodeBase64(keyText);
    if (key && key->size() == 32) {
      Ed25519Key& added = description.publicKeys.emplace_back();
      std::copy(key->begin(), key->end(), added.begin());
    } else if (!keyFailure) {
      keyFailure = "public key \"" + keyText + "\" is not 32 bytes of base64";
    }
  }
  RETURN_IF_ERROR(reader.finish());
  if (keyFailure) return fail(contextError(kDescriptionContext, *keyFailure));

  if (!isValidName(description.app)) {
    return fail(contextError(kDescriptionContext, "app is not a valid id"));
  }
  if (!parseVersion(description.version)) {
    return fail(contextError(kDescriptionContext, "version is not a valid version"));
  }
  if (description.publicKeys.empty()) {
    return fail(contextError(kDescriptionContext, "publicKeys is empty"));
  }
  if (!isRelativeInside(description.executable)) {
    return fail(contextError(kDescriptionContext, kExecutableDetail));
  }
  for (const std::string& platform : description.platforms) {
    if (!isValidName(platform)) {
      return fail(contextError(kDescriptionContext,
                               "platform \"" + platform + "\" is not a valid name"));
    }
  }
  for (const std::string& entry : description.preserve) {
    if (auto problem = preservedPathProblem(entry, description.executable)) {
      return fail(contextError(kDescriptionContext, "preserve path \"" + entry + "\" " + *problem));
    }
  }
  return description;
}

Result<UpdateRequest> loadUpdateRequest(FileSystem& fileSystem,
                                        const std::filesystem::path& path) {
  ASSIGN_OR_RETURN(const std::string text, fileSystem.readFile(path, kRequestFileLimit));
  return readUpdateRequest(text);
}

}  // namespace loftswitch
