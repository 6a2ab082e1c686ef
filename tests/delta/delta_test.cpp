#include "delta/delta_rebuild.h"

#include <array>
#include <functional>
#include <map>
#include <random>
#include <string>

#include "base/text.h"
#include "delta/delta_manifest.h"
#include "support/matchers.h"
#include "support/memory_file_system.h"
#include "pack/delta_maker.h"
#include "support/zip_builder.h"

namespace loftswitch {
namespace {

// Paths with "/" to contents; a path ending in "/" is a folder.
using Files = std::map<std::string, std::string>;

const std::filesystem::path kInstall = "C:\\App";
const std::filesystem::path kStage = "C:\\Work\\new";

std::string description(const std::string& version) {
  return R"({"loftswitch_install": 1, "app": "demo", "executable": "app.exe", "version": ")" +
         version + R"(", "publicKeys": ["AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="]})";
}

// The files below `root`, and the folders that hold nothing.
Files filesBelow(MemoryFileSystem& fs, const std::filesystem::path& root) {
  Files files;
  for (const auto& [name, content] : fs.snapshot(root)) {
    if (name.ends_with('\\') && !fs.snapshot(root / name).empty()) continue;
    std::string path = name;
    files[(std::replace(path.begin(), path.end(), '\\', '/'), path)] = content;
  }
  return files;
}

struct Rebuilt { Result<Unit> result; Files stage; };  // and what the stage holds afterwards

// Rebuilds `delta` over an install of `install`. The install must be left
// exactly as it was either way.
Rebuilt rebuild(const std::string& delta, const Files& install, const DeltaVersions& versions = {"1.0", "2.0"},
                PackageLimits limits = {1 << 30, 1000}) {
  MemoryFileSystem fs;
  for (const auto& [name, content] : install) fs.addFile(kInstall / utf8ToPath(name), content);
  fs.addFolder(kStage);
  auto reader = openPackage(memoryReadAt(delta), delta.size(), limits);
  if (!reader) return {fail(reader.error()), {}};
  Result<Unit> rebuilt = rebuildDelta(*reader, fs, kInstall, kStage, versions);
  EXPECT_EQ(filesBelow(fs, kInstall), install);
  return {std::move(rebuilt), filesBelow(fs, kStage)};
}

// Runs of text among random bytes, as programs and data files hold them.
std::string noise(std::mt19937& random, std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = random() % 4 == 0 ? static_cast<char>(random()) : "release notes "[i % 14];
  return bytes;
}

// A delta and the install it applies to, as a row changes them.
struct World {
  DeltaManifest manifest;
  std::map<std::string, std::string> data;  // the delta's other entries
  Files install;
  DeltaVersions versions = {"1.0", "2.0"};
  PackageLimits limits = {1 << 30, 1000};

  DeltaFile& file(const std::string& path) {
    return *std::find_if(manifest.files.begin(), manifest.files.end(), [&](const DeltaFile& f) { return f.path == path; });
  }
  // A copy of the file taken unchanged, under another path.
  void copy(const std::string& path) { manifest.files.push_back(file("lib/x.dll")), manifest.files.back().path = path; }
  Rebuilt rebuilt() {
    Files entries = data;
    entries[std::string(kDeltaManifestName)] = zstdFrame(serializeDeltaManifest(manifest));
    return rebuild(zipOf(entries), install, versions, limits);
  }
};

// Every kind of file a release brings, rebuilt exactly over the install of
// the one before, its files taken from the install at any path and in any
// case, and only what the install lacks travelling; then each install, or
// delta made for it, that does not fit is refused naming what does not fit,
// and the install stays as it was.
TEST(DeltaTest, RebuildsTheNextReleaseExactlyOrRefusesWhatDoesNotFitNamingIt) {
  std::mt19937 random(7);
  const Files old = {{"app.exe", noise(random, 200000)}, {"lib/x.dll", noise(random, 9000)}, {"readme.txt", "read me"},
                     {"old.txt", "gone"}, {"loftswitch.json", description("1.0")}};
  Files next = old;
  next["app.exe"].replace(100, 4, "2.00");
  next["app.exe"].insert(150000, "a new function");
  next["notes.txt"] = "new", next["empty.txt"] = "", next["empty/"] = "", next["loftswitch.json"] = description("2.0");
  next["moved/x.dll"] = old.at("lib/x.dll"), next["README.TXT"] = old.at("readme.txt");
  next.erase("readme.txt"), next.erase("old.txt");
  MadeDelta made;
  World good{{}, zipEntries(deltaBetween(zipOf(old), zipOf(next), &made)), old};
  EXPECT_THAT((std::array{made.unchanged, made.patched, made.whole, made.removed}), ::testing::ElementsAre(3, 2, 2, 1));
  const std::string manifest = std::string(kDeltaManifestName);
  good.manifest = readDeltaManifest(zstdContent(good.data.at(manifest)), good.limits).value();
  good.data.erase(manifest);
  EXPECT_THAT(readDeltaManifest(R"({"loftswitch_delta": 1, "to": "2.0"})", good.limits),
              FailsWithMessageThat(::testing::HasSubstr("from must be a string")));
  EXPECT_EQ(World(good).rebuilt().stage, next);

  const std::string changed = "isn't the file of version 1.0 that the delta was made from";
  struct Row { const char* name; std::function<void(World&)> change; ErrorCode code; std::string message; bool early = true; };
  const Row rows[] = {  // early: found before anything is written
      {"a copied file the user changed", [](World& w) { w.install["lib/x.dll"][5] ^= 1; }, ErrorCode::baseMismatch, "the install's \"lib/x.dll\" " + changed, false},
      {"a copied file grown", [](World& w) { w.install["lib/x.dll"] += "x"; }, ErrorCode::baseMismatch, "the install's \"lib/x.dll\" " + changed},
      {"a patched file's base the user changed", [](World& w) { w.install["app.exe"][9] ^= 1; }, ErrorCode::baseMismatch, "the install's \"app.exe\" " + changed, false},
      {"a file the user removed", [](World& w) { w.install.erase("lib/x.dll"); }, ErrorCode::baseMismatch, "the install has no \"lib/x.dll\", which the delta reads"},
      {"a patch whose output is not the listed one", [](World& w) { w.file("app.exe").sha256[0] ^= 1; }, ErrorCode::digestMismatch, "the rebuilt \"app.exe\" doesn't match the delta's manifest", false},
      {"a patch cut short", [](World& w) { w.data.at(w.file("app.exe").data).resize(20); }, ErrorCode::damaged, "\"app.exe\" can't be rebuilt: the patch ends early", false},
      {"data the delta doesn't hold", [](World& w) { w.data.clear(); }, ErrorCode::badLayout, "the delta has no entry \"data/1\" for \"app.exe\""},
      {"a delta for another installed version", [](World& w) { w.versions.from = "0.9"; }, ErrorCode::invalidData, "the delta's manifest turns version 1.0 into 2.0, but it is signed as turning 0.9 into 2.0"},
      {"a name that climbs out", [](World& w) { w.manifest.files.back().path = "a/../../x"; }, ErrorCode::badLayout, "package entry \"a/../../x\" climbs with \"..\""},
      {"a read of the workspace", [](World& w) { w.manifest.reads[0].path = ".loftswitch/x"; }, ErrorCode::badLayout, "package entry \".loftswitch/x\" uses the reserved name .loftswitch"},
      {"a device name", [](World& w) { w.manifest.folders = {"aux.d"}; }, ErrorCode::badLayout, "package entry \"aux.d\" uses the Windows device name \"aux.d\""},
      {"two names for one file", [](World& w) { w.copy("LIB/X.dll"); }, ErrorCode::badLayout, "package entry \"LIB/X.dll\" appears twice (ignoring case)"},
      {"a file inside a file", [](World& w) { w.copy("notes.txt/x"); }, ErrorCode::badLayout, "package entry \"notes.txt/x\" lies inside a file"},
      {"a copy that isn't its base", [](World& w) { w.copy("y"), w.file("y").sha256[0] ^= 1; }, ErrorCode::invalidData, "is \"lib/x.dll\" unchanged, but with another size or SHA-256"},
      {"a base that isn't read", [](World& w) { w.file("app.exe").base = "old.exe"; }, ErrorCode::invalidData, "has the base \"old.exe\", which isn't read"},
      {"more entries than allowed", [](World& w) { w.manifest.folders = {"f1", "f2"}, w.limits.maxEntries = 8; }, ErrorCode::tooLarge, "the package has 9 entries, more than the limit of 8"},
      {"more bytes than allowed", [](World& w) { w.limits.maxExpandedBytes = 30000; }, ErrorCode::tooLarge, "the package expands to more than 30000 bytes"},
  };
  for (const Row& row : rows) {
    World world = good;
    row.change(world);
    const Rebuilt rebuilt = world.rebuilt();
    EXPECT_THAT(rebuilt.result, ::testing::AllOf(FailsWithCode(row.code), FailsWithMessageThat(::testing::HasSubstr(row.message)))) << row.name;
    EXPECT_EQ(rebuilt.stage.empty(), row.early) << row.name;
  }
}

}  // namespace
}  // namespace loftswitch
