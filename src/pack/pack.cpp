#include "pack/pack.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/file.h"
#include "base/result.h"
#include "base/text.h"
#include "elevated/ed25519.h"
#include "elevated/request.h"
#include "elevated/sha256.h"
#include "elevated/validate.h"
#include "elevated/verify.h"
#include "elevated/version.h"
#include "json/strict_json.h"
#include "loftswitch/version.h"

namespace loftswitch {
namespace {

constexpr char kUsage[] =
    "usage: loftswitch-pack keygen <private key file> [--public <file>]\n"
    "       loftswitch-pack public-key <private key file>\n"
    "       loftswitch-pack sign --key <private key file> --app <id> --version <version>\n"
    "                            --platform <name> [--notes <text> | --notes-file <file>]\n"
    "                            [--out <file>] [--signature-out <file>] <package>\n"
    "       loftswitch-pack verify (--install <loftswitch.json> | --app <id> --public-key <key>...)\n"
    "                              --request <file> <package>\n"
    "       loftswitch-pack --version\n"
    "\n"
    "keygen      makes a new Ed25519 key pair: writes the private key file (never over an\n"
    "            existing file) and prints the public key in base64, as \"publicKeys\" of\n"
    "            loftswitch.json takes it; --public also writes it to a file.\n"
    "public-key  prints the public key of a private key file.\n"
    "sign        measures the package, computes its SHA-256 and signs them with the app id,\n"
    "            version, platform and notes. Writes the request fields (version, notes,\n"
    "            platform, size, sha256, signature) as JSON to --out, or to standard output\n"
    "            without it; --signature-out writes the signature alone, in base64. The\n"
    "            notes are signed: the update request must carry them byte for byte.\n"
    "verify      checks the package against the fields of an update request or of the JSON\n"
    "            that sign wrote: its size, its SHA-256 and the signature, with the app id\n"
    "            and keys of an install description or those given. With --install it also\n"
    "            checks the platform and that the version is newer than the installed one.\n"
    "\n"
    "exit codes: 0 done, 1 the package fails verification, 2 an error, 64 a usage error\n";

constexpr std::string_view kKeyMarker = "loftswitch-pack ed25519 private key";
constexpr std::uint64_t kTextFileLimit = 0x100000;

using Options = std::map<std::string, std::vector<std::string>>;

struct UsageError {
  std::string message;
};

// Options of one command: "--name value" pairs from `valued` (repeatable
// only when in `repeatable`) and exactly one positional argument.
struct Parsed {
  Options options;
  std::string positional;
  std::optional<UsageError> error;

  const std::string* one(const std::string& name) const {
    const auto found = options.find(name);
    return found == options.end() ? nullptr : &found->second.front();
  }
  const std::vector<std::string>& all(const std::string& name) const {
    static const std::vector<std::string> kNone;
    const auto found = options.find(name);
    return found == options.end() ? kNone : found->second;
  }
};

Parsed parseOptions(std::span<const std::string> args, const std::set<std::string>& valued,
                    const std::set<std::string>& repeatable, std::string_view positionalName) {
  Parsed parsed;
  bool havePositional = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.starts_with("--")) {
      if (!valued.contains(arg)) {
        parsed.error = UsageError{"unknown option " + arg};
        return parsed;
      }
      if (i + 1 >= args.size()) {
        parsed.error = UsageError{arg + " needs a value"};
        return parsed;
      }
      std::vector<std::string>& values = parsed.options[arg];
      if (!values.empty() && !repeatable.contains(arg)) {
        parsed.error = UsageError{arg + " is given twice"};
        return parsed;
      }
      values.push_back(args[++i]);
    } else if (havePositional) {
      parsed.error = UsageError{"unexpected argument " + arg};
      return parsed;
    } else {
      parsed.positional = arg;
      havePositional = true;
    }
  }
  if (!havePositional) parsed.error = UsageError{std::string(positionalName) + " is missing"};
  return parsed;
}

PackOutput usage(const std::string& message) {
  return PackOutput{{}, "loftswitch-pack: " + message + "\n\n" + kUsage, kPackUsage};
}

PackOutput failure(int code, const std::string& message) {
  return PackOutput{{}, "loftswitch-pack: " + message + "\n", code};
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

[[nodiscard]] Result<std::string> readWholeFile(const std::filesystem::path& path,
                                                std::uint64_t limit) {
  ASSIGN_OR_RETURN(OpenFile file, openFile(path, OpenMode::read));
  ASSIGN_OR_RETURN(const std::uint64_t size, fileSize(file));
  if (size > limit) {
    return fail(ErrorCode::tooLarge, pathToUtf8(path) + " is larger than " +
                                         std::to_string(limit) + " bytes");
  }
  std::string text(static_cast<std::size_t>(size), '\0');
  RETURN_IF_ERROR(readExactAt(
      file, 0, std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(text.data()), text.size())));
  return text;
}

[[nodiscard]] Result<Unit> writeWholeFile(const std::filesystem::path& path,
                                          std::string_view bytes, OpenMode mode) {
  ASSIGN_OR_RETURN(OpenFile file, openFile(path, mode));
  RETURN_IF_ERROR(writeAll(file, bytes));
  return flushFile(file);
}

std::string privateKeyText(const Ed25519Seed& seed) {
  return std::string(kKeyMarker) + "\n" + encodeBase64(seed) + "\n";
}

[[nodiscard]] Result<Ed25519Seed> readPrivateKey(const std::filesystem::path& path) {
  ASSIGN_OR_RETURN(const std::string text, readWholeFile(path, 4096));
  const std::string notAKey = pathToUtf8(path) + " is not a loftswitch-pack private key";
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();  // edited on Windows
    lines.push_back(std::move(line));
    start = end + 1;
  }
  if (lines.size() != 2 || lines[0] != kKeyMarker) return fail(ErrorCode::invalidData, notAKey);
  const std::optional<Bytes> seed = decodeBase64(lines[1]);
  if (!seed || seed->size() != 32) return fail(ErrorCode::invalidData, notAKey);
  Ed25519Seed out;
  std::copy(seed->begin(), seed->end(), out.begin());
  return out;
}

[[nodiscard]] Result<std::string> publicKeyText(const Ed25519Seed& seed) {
  const auto key = ed25519PublicKey(seed);
  if (!key) return fail(ErrorCode::io, "the crypto library couldn't derive the public key");
  return encodeBase64(*key);
}

struct PackageFacts {
  std::uint64_t size = 0;
  Sha256Digest sha256{};
};

[[nodiscard]] Result<PackageFacts> measurePackage(const std::filesystem::path& path) {
  ASSIGN_OR_RETURN(OpenFile file, openFile(path, OpenMode::readDenyWrite));
  ASSIGN_OR_RETURN(const std::uint64_t size, fileSize(file));
  Sha256 hash;
  std::vector<std::uint8_t> buffer(0x40000);
  std::uint64_t offset = 0;
  while (offset < size) {
    const std::size_t piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(size - offset, buffer.size()));
    const std::span<std::uint8_t> chunk(buffer.data(), piece);
    RETURN_IF_ERROR(readExactAt(file, offset, chunk));
    hash.update(chunk);
    offset += piece;
  }
  PackageFacts facts;
  facts.size = size;
  facts.sha256 = hash.finish();
  if (hash.failed()) return fail(ErrorCode::io, "can't compute the SHA-256 of " + pathToUtf8(path));
  return facts;
}

// The request's fields filled in around the signed ones, so that a fragment
// passes through exactly the checks the elevated helper makes.
[[nodiscard]] Result<UpdateRequest> readAsRequest(const nlohmann::json& fields) {
  nlohmann::json document = {{"loftswitch_request", 1},
                             {"id", "0000000000000000"},
                             {"install", "C:\\install"},
                             {"userWorkspace", "C:\\workspace"},
                             {"executable", "app.exe"},
                             {"package", "C:\\package.zip"}};
  for (const auto& [key, value] : fields.items()) document[key] = value;
  return readUpdateRequest(document.dump());
}

PackOutput keygen(std::span<const std::string> args) {
  const Parsed parsed = parseOptions(args, {"--public"}, {}, "the private key file");
  if (parsed.error) return usage(parsed.error->message);
  Ed25519Seed seed;
  randomBytes(seed);
  const auto publicKey = publicKeyText(seed);
  if (!publicKey) return failure(kPackError, publicKey.error().message);
  const std::filesystem::path keyPath = utf8ToPath(parsed.positional);
  if (const auto written = writeWholeFile(keyPath, privateKeyText(seed), OpenMode::createNew);
      !written) {
    return failure(kPackError, "the private key was not written: " + written.error().message);
  }
  if (const std::string* publicPath = parsed.one("--public")) {
    if (const auto written =
            writeWholeFile(utf8ToPath(*publicPath), *publicKey + "\n", OpenMode::createAlways);
        !written) {
      return failure(kPackError, "the public key was not written: " + written.error().message);
    }
  }
  return PackOutput{*publicKey + "\n", {}, kPackOk};
}

PackOutput publicKey(std::span<const std::string> args) {
  const Parsed parsed = parseOptions(args, {}, {}, "the private key file");
  if (parsed.error) return usage(parsed.error->message);
  const auto seed = readPrivateKey(utf8ToPath(parsed.positional));
  if (!seed) return failure(kPackError, seed.error().message);
  const auto text = publicKeyText(*seed);
  if (!text) return failure(kPackError, text.error().message);
  return PackOutput{*text + "\n", {}, kPackOk};
}

PackOutput sign(std::span<const std::string> args) {
  const Parsed parsed = parseOptions(
      args,
      {"--key", "--app", "--version", "--platform", "--notes", "--notes-file", "--out",
       "--signature-out"},
      {}, "the package");
  if (parsed.error) return usage(parsed.error->message);
  for (const char* required : {"--key", "--app", "--version", "--platform"}) {
    if (parsed.one(required) == nullptr) return usage(std::string(required) + " is required");
  }
  if (parsed.one("--notes") != nullptr && parsed.one("--notes-file") != nullptr) {
    return usage("--notes and --notes-file exclude each other");
  }
  const std::string app = *parsed.one("--app");
  if (!isValidName(app)) {
    return failure(kPackError, "the app id \"" + app +
                                   "\" is not 1 to 64 characters of a-z, 0-9, '-', '.', '_'");
  }

  std::string notes;
  if (const std::string* text = parsed.one("--notes")) notes = *text;
  if (const std::string* file = parsed.one("--notes-file")) {
    auto read = readWholeFile(utf8ToPath(*file), kTextFileLimit);
    if (!read) return failure(kPackError, "can't read the notes: " + read.error().message);
    notes = std::move(*read);
  }
  if (!isValidUtf8(notes)) return failure(kPackError, "the notes are not valid UTF-8");

  const auto seed = readPrivateKey(utf8ToPath(*parsed.one("--key")));
  if (!seed) return failure(kPackError, seed.error().message);
  const std::filesystem::path package = utf8ToPath(parsed.positional);
  const auto facts = measurePackage(package);
  if (!facts) return failure(kPackError, facts.error().message);

  nlohmann::json fields = {{"version", *parsed.one("--version")},
                           {"platform", *parsed.one("--platform")},
                           {"size", facts->size},
                           {"sha256", toHex(facts->sha256)},
                           {"signature", encodeBase64(Ed25519Signature{})}};
  if (!notes.empty()) fields["notes"] = notes;
  // The helper's own checks, before anything is signed.
  auto request = readAsRequest(fields);
  if (!request) return failure(kPackError, request.error().message);

  const std::string message = buildSignedMessage(app, *request);
  const auto signature = ed25519Sign(*seed, bytesOf(message));
  if (!signature) return failure(kPackError, "the crypto library couldn't sign");
  request->signature = *signature;
  fields["signature"] = encodeBase64(*signature);

  PackOutput output;
  const std::string fragment = fields.dump(2) + "\n";
  const std::string* out = parsed.one("--out");
  const std::string* signatureOut = parsed.one("--signature-out");
  if (out != nullptr) {
    if (auto written = writeWholeFile(utf8ToPath(*out), fragment, OpenMode::createAlways);
        !written) {
      return failure(kPackError, "the request fields were not written: " +
                                     written.error().message);
    }
  }
  if (signatureOut != nullptr) {
    if (auto written = writeWholeFile(utf8ToPath(*signatureOut),
                                      fields["signature"].get<std::string>() + "\n",
                                      OpenMode::createAlways);
        !written) {
      return failure(kPackError, "the signature was not written: " + written.error().message);
    }
  }
  if (out == nullptr) {
    output.out = fragment;
  } else {
    output.out = "signed " + parsed.positional + " for " + app + " " + request->version + " on " +
                 request->platform + ": " + std::to_string(facts->size) + " bytes, sha256 " +
                 toHex(facts->sha256) + "\n";
  }
  return output;
}

PackOutput verify(std::span<const std::string> args) {
  const Parsed parsed =
      parseOptions(args, {"--install", "--app", "--public-key", "--request"}, {"--public-key"},
                   "the package");
  if (parsed.error) return usage(parsed.error->message);
  if (parsed.one("--request") == nullptr) return usage("--request is required");
  const bool fromInstall = parsed.one("--install") != nullptr;
  const bool fromKeys = parsed.one("--app") != nullptr || parsed.one("--public-key") != nullptr;
  if (fromInstall == fromKeys) {
    return usage("give either --install, or --app with at least one --public-key");
  }

  std::string app;
  std::vector<Ed25519Key> keys;
  std::optional<InstallDescription> description;
  if (fromInstall) {
    auto text = readWholeFile(utf8ToPath(*parsed.one("--install")), kTextFileLimit);
    if (!text) return failure(kPackError, text.error().message);
    auto read = readInstallDescription(*text);
    if (!read) return failure(kPackError, read.error().message);
    description = std::move(*read);
    app = description->app;
    keys = description->publicKeys;
  } else {
    if (parsed.one("--app") == nullptr || parsed.one("--public-key") == nullptr) {
      return usage("--app and --public-key go together");
    }
    app = *parsed.one("--app");
    for (const std::string& text : parsed.all("--public-key")) {
      const std::optional<Bytes> key = decodeBase64(text);
      if (!key || key->size() != 32) {
        return failure(kPackError, "public key \"" + text + "\" is not 32 bytes of base64");
      }
      Ed25519Key& added = keys.emplace_back();
      std::copy(key->begin(), key->end(), added.begin());
    }
  }

  const std::string requestPath = *parsed.one("--request");
  auto requestText = readWholeFile(utf8ToPath(requestPath), kTextFileLimit);
  if (!requestText) return failure(kPackError, requestText.error().message);
  auto fields = parseStrictJson(*requestText, 4);
  if (!fields) return failure(kPackError, requestPath + ": " + fields.error().message);
  if (!fields->is_object()) return failure(kPackError, requestPath + ": not a JSON object");
  if (const auto repair = fields->find("repair");
      repair != fields->end() && *repair == nlohmann::json(true)) {
    return failure(kPackError, requestPath + " asks for a repair, which carries no package");
  }
  auto request = readAsRequest(*fields);
  if (!request) return failure(kPackError, request.error().message);

  if (description) {
    const std::optional<Version> offered = parseVersion(request->version);
    const std::optional<Version> installed = parseVersion(description->version);
    if (offered && installed && compareVersions(*offered, *installed) <= 0) {
      return failure(kPackCheckFailed, "version " + request->version +
                                           " is not newer than the installed " +
                                           description->version);
    }
    if (std::find(description->platforms.begin(), description->platforms.end(),
                  request->platform) == description->platforms.end()) {
      return failure(kPackCheckFailed, "the package is for " + request->platform +
                                           ", which this install doesn't run");
    }
  }
  if (auto hashed = hashPackage(utf8ToPath(parsed.positional), *request); !hashed) {
    const ErrorCode code = hashed.error().code;
    const bool mismatch = code == ErrorCode::sizeMismatch || code == ErrorCode::digestMismatch;
    return failure(mismatch ? kPackCheckFailed : kPackError, hashed.error().message);
  }
  if (auto verified = verifyPackageSignature(app, *request, keys); !verified) {
    return failure(kPackCheckFailed, verified.error().message);
  }
  return PackOutput{"ok: " + parsed.positional + " is signed for " + app + " " +
                        request->version + " on " + request->platform + "\n",
                    {}, kPackOk};
}

}  // namespace

PackOutput runPack(const std::vector<std::string>& args) {
  if (args.empty()) return usage("a command is missing");
  const std::string& command = args.front();
  const std::span<const std::string> rest = std::span(args).subspan(1);
  if (command == "--help" || command == "-h" || command == "help") {
    return PackOutput{kUsage, {}, kPackOk};
  }
  if (command == "--version") {
    return PackOutput{std::string("loftswitch-pack ") + LOFTSWITCH_VERSION + "\n", {}, kPackOk};
  }
  if (!cryptoLibraryReady()) return failure(kPackError, "the crypto library couldn't start");
  if (command == "keygen") return keygen(rest);
  if (command == "public-key") return publicKey(rest);
  if (command == "sign") return sign(rest);
  if (command == "verify") return verify(rest);
  return usage("unknown command " + command);
}

}  // namespace loftswitch
