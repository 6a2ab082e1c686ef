#include <cstdlib>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "elevated/validate.h"
#include "fs/local_file_system.h"
#include "host/system_host.h"
#include "loftswitch/app.h"
#include "support/app_dll.h"
#include "support/matchers.h"
#include "support/programs.h"
#include "support/temp_folder.h"
#include "support/zip_builder.h"
#include "workspace/lock.h"

// The road from a published feed to a staged package, through the real
// publisher's tool and the real DLL, against the loopback server of
// tests/support/test_server.py (run through it: see tests/CMakeLists.txt).
namespace loftswitch {
namespace {

using ::testing::HasSubstr;


std::string description(const std::string& version, const std::string& key) {
  return nlohmann::json{{"loftswitch_install", 1}, {"app", "demo"}, {"version", version},
                        {"executable", "app.exe"}, {"platforms", {"windows-x64"}},
                        {"publicKeys", {key}}}.dump();
}

// What a fault does to a download, row by row: what the call says and what
// the downloads folder then holds.
TEST(FeedDownloadE2ETest, EveryFaultOfTheServerLeavesTheDiskAsTheRulesSay) {
  const char* server = std::getenv("LOFTSWITCH_TEST_SERVER");
  const char* served = std::getenv("LOFTSWITCH_TEST_ROOT");
  ASSERT_TRUE(server != nullptr && served != nullptr) << "run through tests/support/test_server.py";
  const std::filesystem::path root = std::filesystem::path("Z:" + std::string(served));
  TempFolder temp;
  const auto pack = [&](std::vector<std::string> args) { return runProgram(builtProgram("loftswitch-pack"), args); };
  const ProgramRun keygen = pack({"keygen", pathToUtf8(temp / "release.key")});
  ASSERT_EQ(keygen.exitCode, 0) << keygen.err;
  const std::string key = keygen.out.substr(0, keygen.out.find('\n'));
  writeTestFile(temp / "App" / "loftswitch.json", description("1.0", key));
  std::string noise(3 * 1048576 + 4321, '\0');
  for (std::mt19937 random(5); char& c : noise) c = static_cast<char>(random());
  const auto zip = [&](const char* app) {
    return ZipBuilder().file("app.exe", app).file("loftswitch-apply.exe", "tool")
        .file("noise.bin", noise, 0).file("loftswitch.json", description("2.0", key)).build();
  };
  const std::string package = zip("v2");
  writeTestFile(root / "demo-2.0.zip", package);
  writeTestFile(root / "other.zip", zip("another v2"));
  for (const auto& [file, out] : {std::pair("demo-2.0.zip", "signed.json"), std::pair("other.zip", "other.json")}) {
    const ProgramRun sign = pack({"sign", "--key", pathToUtf8(temp / "release.key"), "--app", "demo",
                                  "--version", "2.0", "--platform", "windows-x64", "--out",
                                  pathToUtf8(root / out), pathToUtf8(root / file)});
    ASSERT_EQ(sign.exitCode, 0) << sign.err;
  }
  // Without --out the fields go to standard output, notes included. Fields
  // that ask for a repair name no package, and a key must be 32 bytes.
  const auto signWith = [&](const std::filesystem::path& keyFile) {
    return pack({"sign", "--key", pathToUtf8(keyFile), "--app", "demo", "--version", "2.0", "--platform",
                 "windows-x64", "--notes", "fixes", pathToUtf8(root / "demo-2.0.zip")});
  };
  nlohmann::json fields = nlohmann::json::parse(signWith(temp / "release.key").out);
  EXPECT_EQ(fields.value("notes", ""), "fixes");
  fields["repair"] = true;
  writeTestFile(temp / "repair.json", fields.dump());
  EXPECT_THAT(pack({"verify", "--app", "demo", "--public-key", key, "--signed", pathToUtf8(temp / "repair.json"),
                    pathToUtf8(root / "demo-2.0.zip")}).err, HasSubstr("asks for a repair and names no package"));
  writeTestFile(temp / "short.key", "loftswitch-pack ed25519 private key\n" + encodeBase64(Bytes(31, 7)) + "\n");
  EXPECT_THAT(signWith(temp / "short.key").err, HasSubstr("is not a loftswitch-pack private key"));
  const auto publish = [&](const char* signedJson, const char* app, const char* url) {
    return pack({"publish", "--key", pathToUtf8(temp / "release.key"), "--feed",
                 pathToUtf8(root / "stable.json"), "--channel", "stable", "--url", url,
                 "--signed", pathToUtf8(root / signedJson), "--app", app});
  };
  EXPECT_THAT(publish("other.json", "demo", "demo-2.0.zip").err, HasSubstr("is not for"));
  EXPECT_EQ(publish("signed.json", "demo", "demo-2.0.zip").exitCode, 0);
  EXPECT_THAT(publish("signed.json", "other", "https://cdn.example/demo-2.0.zip").err,
              HasSubstr("the feed is for app demo, not other"));

  // A user workspace is given but not used: this user can change the install.
  const std::string install = pathToUtf8(temp / "App"), user = pathToUtf8(temp / "user");
  const auto check = appDll().checkForUpdate;
  const auto download = appDll().downloadUpdate;
  const auto freeStatus = appDll().statusFree;
  loftswitch_offer offer{};
  loftswitch_status status{};
  ASSERT_EQ(check(install.c_str(), user.c_str(), (std::string(server) + "/stable.json").c_str(), nullptr,
                  &offer, &status), LOFTSWITCH_OK) << status.message;
  freeStatus(&status);
  ASSERT_EQ(offer.present, 1);
  EXPECT_EQ(std::string(offer.package_url), std::string(server) + "/demo-2.0.zip");

  const std::filesystem::path downloads = temp / "App" / ".loftswitch" / "downloads";
  const std::string sha = offer.sha256, url = offer.package_url;
  struct Progress {
    std::vector<std::uint64_t> told;
    std::size_t cancelAt = SIZE_MAX;
    std::uint64_t total = 0;
    static int tell(int32_t phase, std::uint64_t done, std::uint64_t total, void* context) {
      auto& self = *static_cast<Progress*>(context);
      self.told.push_back(phase == LOFTSWITCH_PHASE_DOWNLOADING && total == self.total ? done : ~0ull);
      return self.told.size() >= self.cancelAt ? 1 : 0;
    }
  };
  const auto get = [&](const std::string& query, std::size_t cancelAt, char** path) {
    const std::string full = url + "?" + query;
    loftswitch_offer fault = offer;
    fault.package_url = const_cast<char*>(full.c_str());
    Progress progress{{}, cancelAt, offer.size};
    const int code = download(install.c_str(), user.c_str(), &fault, &Progress::tell, &progress, path, &status);
    const std::string message = status.message;
    freeStatus(&status);
    return std::tuple(code, message, progress.told.empty() ? ~0ull : progress.told.back());
  };
  const struct Row {
    std::string key, faults;
    int code;
    const char* says;
    std::set<std::string> files;
    std::vector<std::string> requests;  // the Range asked and the status answered
    std::size_t cancelAt = SIZE_MAX;
    bool fresh = true;  // starts with an empty downloads folder
  } rows[] = {
      {"plain", "", LOFTSWITCH_OK, "downloaded version 2.0", {".zip"}, {":200"}},
      {"cut", "fault=cut&at=1500000&times=1", LOFTSWITCH_OK, "(1 retry, 1 range resumed)", {".zip"},
       {":200", "bytes=1500000-:206"}},
      {"norange", "fault=norange,cut&at=1500000&cuts=1", LOFTSWITCH_OK, "1 retry, 1 fresh start",
       {".zip"}, {":200", "bytes=1500000-:200"}},
      {"more", "fault=more&extra=10", LOFTSWITCH_ERROR_REJECTED, "sends more than the signed", {}, {":200"}},
      {"other", "fault=other", LOFTSWITCH_ERROR_REJECTED, "SHA-256 doesn't match", {}, {":200"}},
      {"missing", "fault=status&code=404", LOFTSWITCH_ERROR_NETWORK, "answered HTTP 404", {}, {":404"}},
      {"busy", "fault=status&code=503&times=1", LOFTSWITCH_OK, "(1 retry)", {".zip"}, {":503", ":200"}},
      {"moved", "fault=redirect&hops=2", LOFTSWITCH_OK, "downloaded", {".zip"}, {":302", ":302", ":200"}},
      {"loop", "fault=redirect&hops=99", LOFTSWITCH_ERROR_NETWORK, "redirects more than 5 times", {},
       std::vector<std::string>(6, ":302")},
      {"slow", "fault=slow&pause=10", LOFTSWITCH_CANCELLED, "bytes fetched are kept for the next call",
       {".partial", ".resume.json"}, {":200"}, 2},
      {"slow", "fault=slow&pause=10", LOFTSWITCH_OK, "bytes kept from an earlier call", {".zip"},
       {":200", "bytes=KEPT-:206"}, SIZE_MAX, false},
  };
  std::uint64_t kept = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.key);
    if (row.fresh) std::filesystem::remove_all(downloads);
    char* path = nullptr;
    const auto [code, message, last] = get("key=" + row.key + "&" + row.faults, row.cancelAt, &path);
    EXPECT_EQ(code, row.code) << message;
    EXPECT_THAT(message, HasSubstr(row.says));
    if (row.cancelAt != SIZE_MAX) kept = last;
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(downloads)) {
      const std::string name = entry.path().filename().string();
      if (name != "download.lock") files.insert(name.starts_with(sha) ? name.substr(sha.size()) : name);
    }
    EXPECT_EQ(files, row.files);
    EXPECT_TRUE(code != LOFTSWITCH_OK || readTestFile(utf8ToPath(path)) == package);
    appDll().stringFree(path);
    std::vector<std::string> requests;
    std::istringstream log(readTestFile(root / ("_requests-" + row.key + ".jsonl")));
    for (std::string line; std::getline(log, line);) {
      const auto entry = nlohmann::json::parse(line);
      requests.push_back(entry["range"].get<std::string>() + ":" + std::to_string(entry["status"].get<int>()));
    }
    std::vector<std::string> expected = row.requests;
    if (!row.fresh) expected.back() = "bytes=" + std::to_string(kept) + "-:206";
    EXPECT_EQ(requests, expected);
  }

  // One download per workspace; the finished one goes once it is staged.
  {
    LocalFileSystem fs;
    SystemHost host;
    auto lock = acquireWorkspaceLock(fs, host, downloads / "download.lock", 0);
    char* path = nullptr;
    EXPECT_EQ(std::get<0>(get("key=plain", SIZE_MAX, &path)), LOFTSWITCH_ERROR_BUSY);
  }
  char id[LOFTSWITCH_ATTEMPT_ID_SIZE] = {};
  const std::string staged = pathToUtf8(downloads / (sha + ".zip"));
  EXPECT_EQ(appDll().stagePackage(install.c_str(), nullptr, nullptr, staged.c_str(),
                                  offer.signed_json, nullptr, nullptr, nullptr, id, &status),
            LOFTSWITCH_OK) << status.message;
  freeStatus(&status);
  EXPECT_FALSE(std::filesystem::exists(downloads / (sha + ".zip")));
  EXPECT_EQ(std::string(appDll().offerKind(&offer)), "full");

  // A feed changed by one byte after it was signed.
  std::string feed = readTestFile(root / "stable.json");
  feed[feed.size() - 10] ^= 1;
  writeTestFile(root / "tampered.json", feed);
  appDll().offerFree(&offer);
  EXPECT_TRUE(offer.present == 0 && offer.package_url == nullptr && offer.signed_json == nullptr);
  EXPECT_EQ(check(install.c_str(), nullptr, (std::string(server) + "/tampered.json").c_str(), nullptr,
                  &offer, &status), LOFTSWITCH_ERROR_REJECTED);
  EXPECT_THAT(status.message, HasSubstr("the feed is refused: the feed's signature doesn't verify"));
  freeStatus(&status);
}

}  // namespace
}  // namespace loftswitch
