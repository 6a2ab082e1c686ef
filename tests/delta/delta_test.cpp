#include "delta/delta_rebuild.h"

#include <array>
#include <functional>
#include <map>
#include <random>
#include <set>
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

// A release of "demo" from one seed: a few files at a few depths, sizes at
// the edges (empty, one byte) and beyond the zip's 64 KiB pieces.
Files firstRelease(std::mt19937& random) {
  Files files = {{"loftswitch.json", description("1.0")}};
  for (const char* name : {"app.exe", "lib/core.dll", "lib/deep/x.bin", "Readme.TXT", "data/a"}) {
    if (random() % 3 != 0) files[name] = noise(random, std::array{0, 1, 700, 70000, 140000}[random() % 5]);
  }
  return files;
}

// The next release: each file kept, edited in a few places, replaced, moved,
// renamed in another case or dropped; a new file and an empty folder may come.
Files nextRelease(std::mt19937& random, const Files& old) {
  Files next = {{"loftswitch.json", description("2.0")}};
  for (auto [name, content] : old) {
    switch (name == "loftswitch.json" ? 0 : random() % 6) {
      case 0: break;
      case 1:
        for (int edits = 0; edits < 5 && !content.empty(); ++edits) content[random() % content.size()] ^= 0x5A;
        next[name] = content.insert(content.size() / 2, "inserted");
        break;
      case 2: next[name] = noise(random, content.size() + 3); break;
      case 3: next["moved/" + name] = content; break;
      case 4: next[asciiLower(name)] = content; break;
      default: next[name] = content;
    }
  }
  if (random() % 2 == 0) next["plugins/new.dll"] = noise(random, 5000);
  if (random() % 2 == 0) next["empty/"] = "";
  return next;
}

// Whatever two releases differ in, the delta rebuilds exactly the second
// over an install of the first and touches nothing of the install; only
// what the install lacks travels, as a patch when a file of its path was
// there before.
TEST(DeltaTest, RebuildsExactlyTheNextReleaseOfEveryGeneratedPair) {
  for (std::uint32_t seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const Files old = firstRelease(random);
    const Files next = nextRelease(random, old);
    MadeDelta made;
    const Rebuilt rebuilt = rebuild(deltaBetween(zipOf(old), zipOf(next), &made), old);
    ASSERT_THAT(rebuilt.result, IsOkay());
    EXPECT_EQ(rebuilt.stage, next);

    std::set<std::string> oldKeys, contents;
    for (const auto& [name, content] : old) oldKeys.insert(upperCaseKey(name)), contents.insert(content);
    std::size_t counts[4] = {};  // unchanged, patched, whole, removed
    for (const auto& [name, content] : next) {
      const bool kept = oldKeys.erase(upperCaseKey(name)) != 0;
      if (!name.ends_with('/')) ++counts[contents.contains(content) ? 0 : kept ? 1 : 2];
    }
    counts[3] = oldKeys.size();
    EXPECT_THAT(counts, ::testing::ElementsAre(made.unchanged, made.patched, made.whole, made.removed));
  }
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

// An install, or the delta made for it, that does not fit: each is refused
// naming what does not fit, and the install stays as it was.
TEST(DeltaTest, RefusesWhatDoesNotFitNamingIt) {
  std::mt19937 random(7);
  const Files old = {{"app.exe", noise(random, 30000)}, {"lib/x.dll", noise(random, 9000)},
                     {"readme.txt", "read me"}, {"loftswitch.json", description("1.0")}};
  Files next = old;
  next["app.exe"].replace(100, 4, "2.00");
  next["notes.txt"] = "new";
  next["loftswitch.json"] = description("2.0");
  next.erase("readme.txt");
  World good{{}, zipEntries(deltaBetween(zipOf(old), zipOf(next))), old};
  const std::string manifest = std::string(kDeltaManifestName);
  good.manifest = readDeltaManifest(zstdContent(good.data.at(manifest)), good.limits).value();
  good.data.erase(manifest);
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
      {"data the delta doesn't hold", [](World& w) { w.data.clear(); }, ErrorCode::badLayout, "the delta has no entry \"data/0\" for \"app.exe\""},
      {"a delta for another installed version", [](World& w) { w.versions.from = "0.9"; }, ErrorCode::invalidData, "the delta's manifest turns version 1.0 into 2.0, but it is signed as turning 0.9 into 2.0"},
      {"a name that climbs out", [](World& w) { w.manifest.files.back().path = "a/../../x"; }, ErrorCode::badLayout, "package entry \"a/../../x\" climbs with \"..\""},
      {"a read of the workspace", [](World& w) { w.manifest.reads[0].path = ".loftswitch/x"; }, ErrorCode::badLayout, "package entry \".loftswitch/x\" uses the reserved name .loftswitch"},
      {"a device name", [](World& w) { w.manifest.folders = {"aux.d"}; }, ErrorCode::badLayout, "package entry \"aux.d\" uses the Windows device name \"aux.d\""},
      {"two names for one file", [](World& w) { w.copy("LIB/X.dll"); }, ErrorCode::badLayout, "package entry \"LIB/X.dll\" appears twice (ignoring case)"},
      {"a file inside a file", [](World& w) { w.copy("notes.txt/x"); }, ErrorCode::badLayout, "package entry \"notes.txt/x\" lies inside a file"},
      {"a copy that isn't its base", [](World& w) { w.copy("y"), w.file("y").sha256[0] ^= 1; }, ErrorCode::invalidData, "is \"lib/x.dll\" unchanged, but with another size or SHA-256"},
      {"a base that isn't read", [](World& w) { w.file("app.exe").base = "old.exe"; }, ErrorCode::invalidData, "has the base \"old.exe\", which isn't read"},
      {"more entries than allowed", [](World& w) { w.manifest.folders = {"f1", "f2"}, w.limits.maxEntries = 5; }, ErrorCode::tooLarge, "the package has 6 entries, more than the limit of 5"},
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
