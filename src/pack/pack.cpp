#include "pack/pack.h"

#include <algorithm>
#include <charconv>
#include <chrono>
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
#include "delta/delta_rebuild.h"
#include "download/url.h"
#include "elevated/ed25519.h"
#include "elevated/elevated.h"
#include "elevated/key_id.h"
#include "elevated/package_contract.h"
#include "elevated/request.h"
#include "elevated/sha256.h"
#include "elevated/validate.h"
#include "elevated/verify.h"
#include "elevated/version.h"
#include "feed/feed.h"
#include "fs/local_file_system.h"
#include "json/strict_json.h"
#include "loftswitch/version.h"
#include "pack/delta_maker.h"
#include "package/package_reader.h"

namespace loftswitch {
namespace {

struct Command {
  std::string_view name;
  std::string_view synopsis;
  std::string_view description;
};

constexpr Command kCommands[] = {
    {"keygen", "keygen <private key file> [--public <file>]",
     "makes a new Ed25519 key pair: writes the private key file (never over an\n"
     "existing file) and prints the public key in base64, as \"publicKeys\" of\n"
     "loftswitch.json takes it; --public also writes it to a file. Its key id, which\n"
     "refusals use to name keys, goes to standard error.\n"},
    {"public-key", "public-key <private key file>",
     "prints the public key of a private key file, and its key id on standard error.\n"},
    {"check", "check [--app <id> --version <version>] [--platform <name>] <package.zip>",
     "opens and extracts the package as the installing side does, with the same\n"
     "limits, into a temporary folder that it removes afterwards, and checks that\n"
     "the version it installs can be updated again: loftswitch.json at the root\n"
     "reads as an install description for this app id, version and platform and\n"
     "names at least one public key, and the executable it names and\n"
     "loftswitch-apply.exe are there. Without --app and --version their match is\n"
     "not checked; without --platform, loftswitch.json must list at least one.\n"
     "Prints the number of entries and bytes, or the first refusal. A delta\n"
     "package is checked as far as it can be without the install it applies to.\n"},
    {"sign",
     "sign --key <private key file> --app <id> --version <version> --platform <name>\n"
     "     [--notes <text> | --notes-file <file>] [--out <file>] [--signature-out <file>]\n"
     "     <package.zip>",
     "checks the package as check does, with these --app, --version and --platform,\n"
     "then measures it, computes its SHA-256 and signs them together with the app id,\n"
     "version, platform and notes, and for a delta the version it applies to.\n"
     "Writes the signed fields (version, from, notes, platform, size, sha256,\n"
     "signature, and keyId: the unsigned id of the signing key) as JSON to --out, or\n"
     "to standard output without it: publish them beside the package, unchanged.\n"
     "--signature-out writes the signature alone, in base64.\n"},
    {"delta", "delta --from <old package.zip> --to <new package.zip> --out <delta.zip>",
     "writes a delta package that turns an install of the old package's version\n"
     "into exactly the new package's: files the install has are taken from it,\n"
     "changed files travel as zstd patches against the old ones (up to 2 GiB),\n"
     "the rest whole. The new package is checked as check does, and the delta is\n"
     "tried by rebuilding the new version from the old package, as an install\n"
     "would. Sign it as a package: the signed fields then also name the version\n"
     "it applies to, and an install of any other version refuses it.\n"},
    {"publish",
     "publish --key <private key file> --feed <feed file> --channel <name>\n"
     "        --url <package URL> --signed <signed.json> [--expires-days <n>] [--app <id>]",
     "adds the package that sign described in --signed to the channel's feed (or puts\n"
     "it in place of the one for the same version and platform; a delta goes beside\n"
     "the full package, in place of the delta from the same version), and signs the feed\n"
     "again with the key: installs check for updates with loftswitch_check_for_update\n"
     "at the feed's URL. --url is absolute or relative to the feed; when it names a\n"
     "local file, the package there must be the one the fields were signed for. The\n"
     "fields must verify with the key (or one the package's loftswitch.json lists)\n"
     "for the feed's app. A new feed takes its app from --app or from a local\n"
     "package; an existing one must be signed by this key and be for the same app\n"
     "and channel. The feed is published now (never before its last publication)\n"
     "and expires after --expires-days (30 by default): publish again before then.\n"},
    {"verify",
     "verify (--install <loftswitch.json> | --app <id> --public-key <key>...)\n"
     "       --signed <file> <package.zip>",
     "checks the package against the signed fields that sign wrote: its size, its\n"
     "SHA-256 and the signature, with the app id and keys of an install\n"
     "description or those given. With --install it also checks the platform and\n"
     "that the version is newer than the installed one.\n"},
};

constexpr std::string_view kExitCodes =
    "exit codes: 0 done, 1 the package is refused, 2 an error, 64 a usage error\n";

// A synopsis after "usage: loftswitch-pack ", its further lines aligned.
std::string synopsisText(std::string_view synopsis) {
  std::string text;
  for (char c : synopsis) {
    text += c;
    if (c == '\n') text += "                       ";
  }
  return text;
}

std::string fullUsage() {
  std::string text = "usage: loftswitch-pack --version\n";
  for (const Command& command : kCommands) {
    text += "       loftswitch-pack " + synopsisText(command.synopsis) + "\n";
  }
  text += "\nRun loftswitch-pack <command> --help for what a command does.\n";
  text += kExitCodes;
  return text;
}

std::string commandUsage(const Command& command) {
  return "usage: loftswitch-pack " + synopsisText(command.synopsis) + "\n\n" +
         std::string(command.description) + "\n" + std::string(kExitCodes);
}

constexpr std::string_view kKeyMarker = "loftswitch-pack ed25519 private key";
constexpr std::uint64_t kTextFileLimit = 0x100000;

using Options = std::map<std::string, std::vector<std::string>>;

// Options of one command: "--name value" pairs from `valued` (repeatable
// only when in `repeatable`) and one positional argument. The first mistake
// is kept; options that are missing are named before a missing positional.
struct Parsed {
  Options options;
  std::string positional;
  std::optional<std::string> error;
  bool help = false;

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
                    const std::set<std::string>& repeatable,
                    const std::vector<std::string>& required, std::string_view positionalName) {
  Parsed parsed;
  bool havePositional = false;
  for (std::size_t i = 0; i < args.size() && !parsed.error; ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      parsed.help = true;
    } else if (arg.starts_with("--")) {
      if (!valued.contains(arg)) {
        parsed.error = "unknown option " + arg;
      } else if (i + 1 >= args.size()) {
        parsed.error = arg + " needs a value";
      } else if (std::vector<std::string>& values = parsed.options[arg];
                 !values.empty() && !repeatable.contains(arg)) {
        parsed.error = arg + " is given twice";
      } else {
        values.push_back(args[++i]);
      }
    } else if (havePositional || positionalName.empty()) {
      parsed.error = "unexpected argument " + arg;
    } else {
      parsed.positional = arg;
      havePositional = true;
    }
  }
  if (parsed.error) return parsed;
  std::string missing;
  for (const std::string& name : required) {
    if (parsed.options.contains(name)) continue;
    missing += (missing.empty() ? "" : ", ") + name;
  }
  if (!missing.empty()) {
    parsed.error = "missing " + missing;
  } else if (!havePositional && !positionalName.empty()) {
    parsed.error = std::string(positionalName) + " is missing";
  }
  return parsed;
}

PackOutput usage(const Command& command, const std::string& message) {
  return PackOutput{{}, "loftswitch-pack: " + message + "\n\n" + commandUsage(command), kPackUsage};
}

// No text of the JSON library reaches the publisher.
PackOutput failure(int code, const std::string& message) {
  return PackOutput{{}, "loftswitch-pack: " + plainJsonMessage(message) + "\n", code};
}

// What the package's contents mean for the exit code: a package the
// installing side would refuse, or trouble with the files themselves.
int refusalOrError(const Error& error) {
  switch (error.code) {
    case ErrorCode::badLayout:
    case ErrorCode::damaged:
    case ErrorCode::tooLarge:
    case ErrorCode::invalidData:
    case ErrorCode::sizeMismatch:
    case ErrorCode::digestMismatch:
    case ErrorCode::badSignature:
      return kPackCheckFailed;
    default:
      return kPackError;
  }
}

// The request reader's messages, about fields that the publisher knows as
// the signed fields in `file`.
std::string inFile(const std::string& message, const std::string& file) {
  constexpr std::string_view kContext = "the update request: ";
  if (!message.starts_with(kContext)) return message;
  return file + ": " + message.substr(kContext.size());
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

// The public key as "publicKeys" takes it, and the id that names it in
// signed fields and messages.
struct PublicKeyText {
  std::string base64;
  std::string id;
};

[[nodiscard]] Result<PublicKeyText> publicKeyText(const Ed25519Seed& seed) {
  const auto key = ed25519PublicKey(seed);
  if (!key) return fail(ErrorCode::io, "the crypto library couldn't derive the public key");
  return PublicKeyText{encodeBase64(*key), keyId(*key)};
}

// The key alone on standard output, for scripts; its id beside it for people.
PackOutput printKey(const PublicKeyText& key) {
  return PackOutput{key.base64 + "\n", "key id " + key.id + "\n", kPackOk};
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

struct PackageSummary {
  std::size_t entries = 0;
  std::uint64_t bytes = 0;
  InstallDescription description;  // the loftswitch.json it installs
};

// Runs `step` on a new folder of its own in the temporary folder, which
// goes afterwards.
template <typename Step>
[[nodiscard]] Result<Unit> inTemporaryFolder(LocalFileSystem& fs, const Step& step) {
  std::error_code error;
  const std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
  if (error) return fail(ErrorCode::io, "can't find the temporary folder: " + error.message());
  const std::filesystem::path folder =
      temporary / utf8ToPath("loftswitch-check-" + randomToken(8));
  RETURN_IF_ERROR(fs.createFolders(folder));
  Result<Unit> result = step(folder);
  // A leftover in the temporary folder harms nothing, so its removal may fail.
  (void)fs.remove(folder);
  return result;
}

// The package opened, limited and extracted as the installing side does it,
// into a folder of its own that goes afterwards, then the contract that keeps
// the installed version updatable.
[[nodiscard]] Result<PackageSummary> checkPackage(const std::filesystem::path& package,
                                                  const PackageExpectation& expected) {
  ASSIGN_OR_RETURN(HeldPackage held, holdPackage(package));
  PackageReader& reader = *held.reader;
  PackageSummary summary{reader.entries().size(), 0, {}};
  for (const PackageEntry& entry : reader.entries()) summary.bytes += entry.declaredSize;
  LocalFileSystem fs;
  RETURN_IF_ERROR(inTemporaryFolder(fs, [&](const std::filesystem::path& folder) -> Result<Unit> {
    RETURN_IF_ERROR(extractAll(reader, fs, folder));
    RETURN_IF_ERROR(checkPackageContract(fs, folder, expected));
    ASSIGN_OR_RETURN(const std::string description,
                     fs.readFile(folder / "loftswitch.json", kTextFileLimit));
    ASSIGN_OR_RETURN(summary.description, readInstallDescription(description));
    return ok();
  }));
  return summary;
}

// The manifest of a delta package, checked as far as it can be without the
// install; nothing for a package that is no delta.
[[nodiscard]] Result<std::optional<DeltaManifest>> readDelta(const std::filesystem::path& package) {
  ASSIGN_OR_RETURN(HeldPackage held, holdPackage(package));
  for (const PackageEntry& entry : held.reader->entries()) {
    ASSIGN_OR_RETURN(const std::vector<std::string> components, held.reader->components(entry));
    if (joinedPath(components) == kDeltaManifestName) return readDeltaPackage(*held.reader);
  }
  return std::optional<DeltaManifest>();
}

std::string deltaSummary(const DeltaManifest& delta) {
  std::uint64_t bytes = 0;
  for (const DeltaFile& file : delta.files) bytes += file.size;
  return "a delta from " + delta.from + " to " + delta.to + " of " +
         std::to_string(delta.files.size()) + " files, " + std::to_string(bytes) + " bytes";
}

PackOutput keygen(const Command& command, std::span<const std::string> args) {
  const Parsed parsed = parseOptions(args, {"--public"}, {}, {}, "the private key file");
  if (parsed.help) return PackOutput{commandUsage(command), {}, kPackOk};
  if (parsed.error) return usage(command, *parsed.error);
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
    if (const auto written = writeWholeFile(utf8ToPath(*publicPath), publicKey->base64 + "\n",
                                            OpenMode::createAlways);
        !written) {
      return failure(kPackError, "the public key was not written: " + written.error().message);
    }
  }
  return printKey(*publicKey);
}

PackOutput publicKey(const Command& command, std::span<const std::string> args) {
  const Parsed parsed = parseOptions(args, {}, {}, {}, "the private key file");
  if (parsed.help) return PackOutput{commandUsage(command), {}, kPackOk};
  if (parsed.error) return usage(command, *parsed.error);
  const auto seed = readPrivateKey(utf8ToPath(parsed.positional));
  if (!seed) return failure(kPackError, seed.error().message);
  const auto text = publicKeyText(*seed);
  if (!text) return failure(kPackError, text.error().message);
  return printKey(*text);
}

PackOutput check(const Command& command, std::span<const std::string> args) {
  const Parsed parsed =
      parseOptions(args, {"--app", "--version", "--platform"}, {}, {}, "the package");
  if (parsed.help) return PackOutput{commandUsage(command), {}, kPackOk};
  if (parsed.error) return usage(command, *parsed.error);
  if ((parsed.one("--app") == nullptr) != (parsed.one("--version") == nullptr)) {
    return usage(command, "--app and --version go together");
  }
  PackageExpectation expected;
  if (const std::string* app = parsed.one("--app")) expected.app = *app;
  if (const std::string* version = parsed.one("--version")) expected.version = *version;
  if (const std::string* platform = parsed.one("--platform")) expected.platform = *platform;
  const std::filesystem::path package = utf8ToPath(parsed.positional);
  const auto delta = readDelta(package);
  if (!delta) return failure(refusalOrError(delta.error()), delta.error().message);
  if (*delta) {
    if (!expected.version.empty() && (*delta)->to != expected.version) {
      return failure(kPackCheckFailed, "the delta turns version " + (*delta)->from + " into " +
                                           (*delta)->to + ", not into " + expected.version);
    }
    return PackOutput{"ok: " + parsed.positional + " is " + deltaSummary(**delta) + "\n", {},
                      kPackOk};
  }
  const auto checked = checkPackage(package, expected);
  if (!checked) return failure(refusalOrError(checked.error()), checked.error().message);
  return PackOutput{"ok: " + parsed.positional + " holds " + std::to_string(checked->entries) +
                        " entries, " + std::to_string(checked->bytes) + " bytes\n",
                    {}, kPackOk};
}

PackOutput sign(const Command& command, std::span<const std::string> args) {
  const Parsed parsed = parseOptions(
      args,
      {"--key", "--app", "--version", "--platform", "--notes", "--notes-file", "--out",
       "--signature-out"},
      {}, {"--key", "--app", "--version", "--platform"}, "the package");
  if (parsed.help) return PackOutput{commandUsage(command), {}, kPackOk};
  if (parsed.error) return usage(command, *parsed.error);
  if (parsed.one("--notes") != nullptr && parsed.one("--notes-file") != nullptr) {
    return usage(command, "--notes and --notes-file exclude each other");
  }
  const std::string app = *parsed.one("--app");
  const std::string version = *parsed.one("--version");
  const std::string platform = *parsed.one("--platform");
  if (!isValidName(app)) {
    return failure(kPackError, "the app id \"" + app +
                                   "\" is not 1 to 64 characters of a-z, 0-9, '-', '.', '_'");
  }
  if (!parseVersion(version)) {
    return failure(kPackError, "the version \"" + version +
                                   "\" is not a version such as 1.4.0, 2.0.0-rc.1 or v3.1");
  }
  if (!isValidName(platform)) {
    return failure(kPackError, "the platform \"" + platform +
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
  const auto signer = publicKeyText(*seed);
  if (!signer) return failure(kPackError, signer.error().message);
  const std::filesystem::path package = utf8ToPath(parsed.positional);
  const auto delta = readDelta(package);
  if (!delta) return failure(refusalOrError(delta.error()), "not signed: " + delta.error().message);
  if (*delta && (*delta)->to != version) {
    return failure(kPackCheckFailed, "not signed: the delta turns version " + (*delta)->from +
                                         " into " + (*delta)->to + ", not into " + version);
  }
  if (!*delta) {
    if (auto checked = checkPackage(package, {app, version, platform}); !checked) {
      return failure(refusalOrError(checked.error()), "not signed: " + checked.error().message);
    }
  }
  const auto facts = measurePackage(package);
  if (!facts) return failure(kPackError, facts.error().message);

  nlohmann::json fields = {{"version", version},
                           {"platform", platform},
                           {"size", facts->size},
                           {"sha256", toHex(facts->sha256)},
                           {"signature", encodeBase64(Ed25519Signature{})},
                           {"keyId", signer->id}};
  if (!notes.empty()) fields["notes"] = notes;
  if (*delta) fields["from"] = (*delta)->from;
  // The installing side's own reading, before anything is signed.
  auto request = readAsRequest(fields);
  if (!request) return failure(kPackError, inFile(request.error().message, "the signed fields"));

  const std::string message = buildSignedMessage(app, *request);
  const auto signature = ed25519Sign(*seed, bytesOf(message));
  if (!signature) return failure(kPackError, "the crypto library couldn't sign");
  fields["signature"] = encodeBase64(*signature);

  const std::string fragment = fields.dump(2) + "\n";
  const std::string* out = parsed.one("--out");
  const std::string* signatureOut = parsed.one("--signature-out");
  if (out != nullptr) {
    if (auto written = writeWholeFile(utf8ToPath(*out), fragment, OpenMode::createAlways);
        !written) {
      return failure(kPackError, "the signed fields were not written: " + written.error().message);
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
  if (out == nullptr) return PackOutput{fragment, {}, kPackOk};
  const std::string what = *delta ? "the delta from " + (*delta)->from + " of " : "";
  return PackOutput{"signed " + parsed.positional + " for " + what + app + " " + version + " on " +
                        platform + ": " + std::to_string(facts->size) + " bytes, sha256 " +
                        toHex(facts->sha256) + "\n",
                    {}, kPackOk};
}

// The new version rebuilt from the old package through the delta, as an
// install of the old version rebuilds it, and held to the contract.
[[nodiscard]] Result<Unit> tryDelta(const std::filesystem::path& oldPackage,
                                    const std::filesystem::path& delta, const MadeDelta& made) {
  ASSIGN_OR_RETURN(HeldPackage old, holdPackage(oldPackage));
  ASSIGN_OR_RETURN(HeldPackage held, holdPackage(delta));
  LocalFileSystem fs;
  return inTemporaryFolder(fs, [&](const std::filesystem::path& folder) -> Result<Unit> {
    const std::filesystem::path install = folder / "old";
    const std::filesystem::path rebuilt = folder / "new";
    RETURN_IF_ERROR(fs.createFolders(install));
    RETURN_IF_ERROR(fs.createFolders(rebuilt));
    RETURN_IF_ERROR(extractAll(*old.reader, fs, install));
    RETURN_IF_ERROR(
        rebuildDelta(*held.reader, fs, install, rebuilt, DeltaVersions{made.from, made.to}));
    return checkPackageContract(fs, rebuilt, {made.app, made.to, ""});
  });
}

PackOutput delta(const Command& command, std::span<const std::string> args) {
  const Parsed parsed =
      parseOptions(args, {"--from", "--to", "--out"}, {}, {"--from", "--to", "--out"}, "");
  if (parsed.help) return PackOutput{commandUsage(command), {}, kPackOk};
  if (parsed.error) return usage(command, *parsed.error);
  const std::filesystem::path from = utf8ToPath(*parsed.one("--from"));
  const std::filesystem::path to = utf8ToPath(*parsed.one("--to"));
  const std::filesystem::path out = utf8ToPath(*parsed.one("--out"));
  if (auto checked = checkPackage(to, {}); !checked) {
    return failure(refusalOrError(checked.error()), "the new package: " + checked.error().message);
  }
  const auto made = makeDelta(from, to, out);
  Result<Unit> tried = made ? tryDelta(from, out, *made) : fail(made.error());
  if (!tried) {
    LocalFileSystem fs;
    (void)fs.remove(out);  // a half-written or broken delta must not be shipped
    const std::string what = made ? "the delta doesn't rebuild the new package: " : "";
    return failure(made ? kPackError : refusalOrError(tried.error()),
                   "no delta written: " + what + tried.error().message);
  }
  return PackOutput{"wrote " + *parsed.one("--out") + ": the delta of " +
                        made->app + " from " + made->from + " to " + made->to + ", " +
                        std::to_string(made->unchanged) + " files unchanged, " +
                        std::to_string(made->patched) + " patched, " +
                        std::to_string(made->whole) + " whole, " +
                        std::to_string(made->removed) + " removed: " +
                        std::to_string(made->bytes) + " bytes\n",
                    {}, kPackOk};
}

PackOutput verify(const Command& command, std::span<const std::string> args) {
  // --request is the option's first name, kept for scripts that use it.
  std::vector<std::string> renamed(args.begin(), args.end());
  for (std::string& arg : renamed) {
    if (arg == "--request") arg = "--signed";
  }
  const Parsed parsed = parseOptions(renamed, {"--install", "--app", "--public-key", "--signed"},
                                     {"--public-key"}, {"--signed"}, "the package");
  if (parsed.help) return PackOutput{commandUsage(command), {}, kPackOk};
  if (parsed.error) return usage(command, *parsed.error);
  const bool fromInstall = parsed.one("--install") != nullptr;
  const bool fromKeys = parsed.one("--app") != nullptr || parsed.one("--public-key") != nullptr;
  if (fromInstall == fromKeys) {
    return usage(command, "give either --install, or --app with at least one --public-key");
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
      return usage(command, "--app and --public-key go together");
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

  const std::string fieldsPath = *parsed.one("--signed");
  auto fieldsText = readWholeFile(utf8ToPath(fieldsPath), kTextFileLimit);
  if (!fieldsText) return failure(kPackError, fieldsText.error().message);
  auto fields = parseStrictJson(*fieldsText, 4);
  if (!fields) return failure(kPackError, fieldsPath + ": " + fields.error().message);
  if (!fields->is_object()) return failure(kPackError, fieldsPath + ": not a JSON object");
  if (const auto repair = fields->find("repair");
      repair != fields->end() && *repair == nlohmann::json(true)) {
    return failure(kPackError, fieldsPath + " asks for a repair and names no package");
  }
  auto request = readAsRequest(*fields);
  if (!request) return failure(kPackError, inFile(request.error().message, fieldsPath));

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

PackOutput publish(const Command& command, std::span<const std::string> args) {
  const Parsed parsed = parseOptions(
      args, {"--key", "--feed", "--channel", "--url", "--signed", "--expires-days", "--app"}, {},
      {"--key", "--feed", "--channel", "--url", "--signed"}, "");
  if (parsed.help) return PackOutput{commandUsage(command), {}, kPackOk};
  if (parsed.error) return usage(command, *parsed.error);
  Publication publication;
  publication.channel = *parsed.one("--channel");
  publication.url = *parsed.one("--url");
  if (const std::string* days = parsed.one("--expires-days")) {
    const auto [end, error] =
        std::from_chars(days->data(), days->data() + days->size(), publication.expiresDays);
    if (error != std::errc() || end != days->data() + days->size()) {
      return usage(command, "--expires-days takes a number of days");
    }
  }
  const auto seed = readPrivateKey(utf8ToPath(*parsed.one("--key")));
  if (!seed) return failure(kPackError, seed.error().message);
  const std::string fieldsPath = *parsed.one("--signed");
  auto fieldsText = readWholeFile(utf8ToPath(fieldsPath), kTextFileLimit);
  if (!fieldsText) return failure(kPackError, fieldsText.error().message);
  auto fields = parseStrictJson(*fieldsText, 4);
  if (!fields || !fields->is_object()) {
    return failure(kPackError, fieldsPath + ": " + (fields ? "not a JSON object" : fields.error().message));
  }
  auto request = readAsRequest(*fields);
  if (!request) return failure(kPackError, inFile(request.error().message, fieldsPath));
  publication.offer = *request;

  const std::filesystem::path feedPath = std::filesystem::absolute(utf8ToPath(*parsed.one("--feed")));
  std::optional<std::string> existing;
  if (auto text = readWholeFile(feedPath, kFeedLimit); text) {
    existing = std::move(*text);
  } else if (text.error().code != ErrorCode::notFound) {
    return failure(kPackError, text.error().message);
  }
  if (const std::string* app = parsed.one("--app")) publication.app = *app;
  if (existing && publication.app.empty()) {
    // The feed's app, read before its signature is checked: the refusal of
    // a feed this key did not sign comes from publishOffer.
    auto envelope = openFeedEnvelope(*existing);
    auto feed = envelope ? readFeed(envelope->body) : Result<Feed>(Feed{});
    if (feed) publication.app = feed->app;
  }
  publication.packageKeys.push_back(*ed25519PublicKey(*seed));
  auto where = resolveUrl(pathToUtf8(feedPath), publication.url);
  if (!where) return failure(kPackError, where.error().message);
  if (const auto url = parseUrl(*where); url && url->kind == UrlKind::file) {
    const std::filesystem::path package = utf8ToPath(url->path);
    if (auto held = hashPackage(package, *request); !held) {
      return failure(refusalOrError(held.error()),
                     "not published: " + fieldsPath + " is not for " + url->path + ": " +
                         held.error().message);
    }
    if (!request->from.empty()) {
      // A delta holds no install description of its own: the feed's app and
      // key vouch for it, and its manifest must be what was signed.
      const auto delta = readDelta(package);
      if (!delta || !*delta || (*delta)->from != request->from || (*delta)->to != request->version) {
        return failure(delta ? kPackCheckFailed : refusalOrError(delta.error()),
                       "not published: " + url->path + " is not the delta from " + request->from +
                           " to " + request->version + (delta ? "" : ": " + delta.error().message));
      }
    } else {
      auto checked = checkPackage(package, {publication.app, request->version, request->platform});
      if (!checked) {
        return failure(refusalOrError(checked.error()), "not published: " + checked.error().message);
      }
      if (publication.app.empty()) publication.app = checked->description.app;
      for (const Ed25519Key& key : checked->description.publicKeys) {
        publication.packageKeys.push_back(key);
      }
    }
  } else if (publication.app.empty()) {
    return usage(command, "--app is needed to start a feed whose package is not a local file");
  }
  publication.now = std::chrono::duration_cast<std::chrono::seconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
  auto published = publishOffer(existing, *seed, publication);
  if (!published) {
    return failure(refusalOrError(published.error()), "not published: " + published.error().message);
  }
  LocalFileSystem fs;
  if (auto written = fs.writeFile(feedPath, *published); !written) {
    return failure(kPackError, "the feed was not written: " + written.error().message);
  }
  return PackOutput{"published " + publication.app + " " + request->version + " for " +
                        request->platform + " on channel " + publication.channel + " in " +
                        pathToUtf8(feedPath) + "\n",
                    {}, kPackOk};
}

}  // namespace

PackOutput runPack(const std::vector<std::string>& args) {
  if (args.empty()) {
    return PackOutput{{}, "loftswitch-pack: a command is missing\n\n" + fullUsage(), kPackUsage};
  }
  const std::string& name = args.front();
  const std::span<const std::string> rest = std::span(args).subspan(1);
  if (name == "--help" || name == "-h" || name == "help") {
    return PackOutput{fullUsage(), {}, kPackOk};
  }
  if (name == "--version") {
    return PackOutput{"loftswitch-pack " LOFTSWITCH_VERSION "\n", {}, kPackOk};
  }
  const auto command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                    [&](const Command& c) { return c.name == name; });
  if (command == std::end(kCommands)) {
    return PackOutput{{}, "loftswitch-pack: unknown command " + name + "\n\n" + fullUsage(),
                      kPackUsage};
  }
  if (command->name == "keygen") return keygen(*command, rest);
  if (command->name == "public-key") return publicKey(*command, rest);
  if (command->name == "check") return check(*command, rest);
  if (command->name == "sign") return sign(*command, rest);
  if (command->name == "delta") return delta(*command, rest);
  if (command->name == "publish") return publish(*command, rest);
  return verify(*command, rest);
}

}  // namespace loftswitch
