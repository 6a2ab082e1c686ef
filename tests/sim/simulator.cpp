// A world from each 64-bit seed (an install, its update, what the new
// version does, how the disk fails, the runs and library calls that follow),
// played on the in-memory file system and the virtual-clock host through the
// tool's driver and the application library. One oracle is checked after
// every run: the install is one version or the other and every word about it
// says which; nothing the user or the new version wrote is lost or hidden;
// no program starts on a mixed install, and the tool changes none while one
// of its programs runs; no run waits without end.
//
//   loftswitch-simulate [--runs N] [--seconds S] [--from SEED]   plays seeds in turn
//   loftswitch-simulate --seed SEED                              replays one, shrunk
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/command_line.h"
#include "apply/run.h"
#include "base/text.h"
#include "delta/delta_rebuild.h"
#include "lib/app_library.h"
#include "loftswitch/app.h"
#include "support/fake_host.h"
#include "support/memory_file_system.h"
#include "support/zip_builder.h"
#include "workspace/journal_store.h"

namespace loftswitch {
namespace {

using Files = std::map<std::string, std::string>;  // folded "/"-path to content
using Fault = MemoryFileSystem::Fault;
using enum JournalState;
constexpr std::int64_t kNever = FakeHost::kNever;
constexpr int kExitCodes[] = {0, 0, 1, 0, 3, 4, 2, 5};  // the README's table, by outcome

struct Rng {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) { return n == 0 ? 0 : next() % n; }
  bool chance(std::size_t percent) { return below(100) < percent; }
  std::string pick(const std::vector<std::string>& from) { return from.empty() ? "x" : from[below(from.size())]; }
};

std::string top(const std::string& path) { return path.substr(0, path.find('/')); }
bool within(const std::string& path, const std::string& folder) {
  return path == folder || path.starts_with(folder + "/");
}

// What the new version does, 50 ms apart, once started.
enum Act { kWrite, kMigrate, kDropBackup, kEditBackup, kHold, kHelper };
struct Step {
  Act act;
  std::string path;
};
enum End { kCrash, kConfirm, kStay };

// A world. Shrinking drops entries of its lists and simplifies the rest.
struct Spec {
  bool bundle = false, direct = false, junk = false, race = false, tell = false;
  bool lockDenied = false, badInPackage = false, keptDenied = false;
  bool delta = false, tamper = false;  // staged from a delta; the user changed a file it reads
  std::vector<std::string> v1, v2, preserve;  // files, "/"-separated
  std::string exe = "App.exe", bad, interfere;  // a preserve entry to refuse; a name made mid-swap
  std::vector<Step> steps;
  End end = kConfirm;
  std::int64_t appExitMs = 100, helperMs = 3000;
  std::size_t faultAt = 0, argsBytes = 0;  // no fault at 0
  Fault fault = Fault::once;
  std::uint32_t code = 21;
  int faultPhase = 1, repairs = 0, later = 0;
};

const std::vector<std::string> kNames = {
    "data/user.db", "data/cache.bin", "Data/Extra.txt", "lib/core.dll", "lib/sub/deep.bin",
    "logs/old.log", "readme.txt", "README.TXT", "settings/user.txt", "cache/state.bin",
    "bin/tool.exe", std::string(240, 'l') + ".txt"};
const std::vector<std::string> kPreserve = {"data/user.db", "data", "settings", "Data/User.db",
                                            "missing/x", "readme.txt", "logs/old.log"};
const std::vector<std::string> kBad = {"settings ", "data.", "App.exe", "loftswitch.json",
                                       "LOFTSWITCH-APPLY.EXE", "bin", "a//b"};
const std::vector<std::string> kWrites = {"lib/cache.tmp", "cache/state.bin", "logs/new.log",
                                          "data/new.txt", "data/user.db", "settings/user.txt",
                                          "fresh.txt", "lib/sub/deep.bin", "readme.txt"};

Spec generate(std::uint64_t seed) {
  Rng rng{seed};
  Spec s;
  s.bundle = rng.chance(8);
  s.direct = s.bundle || rng.chance(10);
  s.junk = s.direct && rng.chance(5);
  if (rng.chance(30)) s.exe = "bin/App.exe";
  for (auto* files : {&s.v1, &s.v2}) {
    for (std::size_t n = 1 + rng.below(6); n-- > 0;) files->push_back(rng.pick(kNames));
  }
  if (rng.chance(3)) s.v2.push_back("notes.");
  if (rng.below(200) == 0) {
    for (int i = 0; i < 4001; ++i) s.v1.push_back(std::to_string(i) + std::string(240, 'x'));
  }
  if (!s.bundle) {
    for (std::size_t n = rng.below(3); n-- > 0;) s.preserve.push_back(rng.pick(kPreserve));
    if (rng.chance(5)) s.bad = rng.pick(kBad), s.badInPackage = rng.chance(50);
    if (rng.chance(5)) s.interfere = top(s.exe);
  }
  for (std::size_t n = rng.below(5); n-- > 0;) {
    const auto act = static_cast<Act>(rng.below(6));
    const std::vector<std::string>& from = act == kWrite     ? kWrites
                                           : act == kMigrate ? kPreserve
                                           : act < kHold     ? s.v1
                                                             : s.v2;
    s.steps.push_back({act, act == kDropBackup ? top(rng.pick(from)) : rng.pick(from)});
  }
  s.end = rng.chance(45) ? kCrash : rng.chance(85) ? kConfirm : kStay;
  if (rng.chance(3)) s.appExitMs = kNever;
  if (rng.chance(10)) s.helperMs = kNever;
  if (rng.chance(70)) {
    const Fault faults[] = {Fault::once, Fault::forGood, Fault::diskFull, Fault::powerLoss};
    const std::uint32_t codes[] = {2, 5, 21, 32};
    s.fault = faults[rng.below(4)];
    s.code = codes[rng.below(4)];
    s.faultAt = 1 + rng.below(rng.chance(50) ? 30 : 300);
    s.faultPhase = rng.chance(10) ? 0 : rng.chance(70) ? 1 : 2 + static_cast<int>(rng.below(3));
  }
  s.lockDenied = rng.chance(3);
  s.argsBytes = s.direct && rng.chance(3) ? 1100000 : 0;
  s.repairs = static_cast<int>(rng.below(4));
  s.race = rng.chance(8);
  s.tell = rng.chance(60);
  s.later = static_cast<int>(rng.below(4));
  s.delta = !s.direct && s.v1.size() < 100 && rng.chance(4);
  s.tamper = s.delta && rng.chance(25);
  s.keptDenied = rng.chance(10);
  return s;
}

std::string describe(const Spec& s) {
  std::string out = std::string(s.bundle ? "bundle" : "folder") +
                    (s.direct ? ", journal by the app" : "") + (s.junk ? " (damaged)" : "") +
                    (s.argsBytes ? " (too large)" : "") + ", executable " + s.exe + "\n";
  const auto list = [&](const char* what, const std::vector<std::string>& items) {
    out += std::string("  ") + what + " (" + std::to_string(items.size()) + "):";
    for (std::size_t i = 0; i < items.size() && i < 12; ++i) out += " \"" + items[i].substr(0, 30) + "\"";
    out += "\n";
  };
  list("previous version", s.v1);
  list("new version", s.v2);
  list("preserve", s.preserve);
  const char* acts[] = {"writes", "migrates", "deletes backup", "edits backup", "holds", "starts a helper holding"};
  out += "  the new version";
  for (const Step& step : s.steps) out += std::string(" ") + acts[step.act] + " " + step.path + ",";
  out += s.end == kCrash ? " crashes" : s.end == kConfirm ? " confirms" : " runs on";
  out += "\n  app exits at " + std::to_string(s.appExitMs) + " ms, helpers run " +
         std::to_string(s.helperMs) + " ms; fault " + std::to_string(static_cast<int>(s.fault)) +
         " (error " + std::to_string(s.code) + ") at operation " + std::to_string(s.faultAt) +
         " of phase " + std::to_string(s.faultPhase) + (s.lockDenied ? "; lock denied" : "") + (s.keptDenied ? "; kept folder unmeasurable" : "") +
         (s.bad.empty() ? "" : "; preserve \"" + s.bad + (s.badInPackage ? "\" in the package" : "\"")) +
         (s.interfere.empty() ? "" : "; another program makes " + s.interfere + " mid-swap") +
         (s.race ? "; a repair races the start" : "") + "; " + std::to_string(s.repairs) +
         " repairs, " + (s.tell ? "told, " : "") + std::to_string(s.later) + " newer attempts" +
         (s.delta ? s.tamper ? "; a delta, and the user changed the tool" : "; a delta" : "") + "\n";
  return out;
}

// What must stand, kept in step with what the new version does.
struct Model {
  Files base;       // the previous version, with the new version's edits of its backup
  Files expectNew;  // the new version's install as it left it
  std::set<std::string> guarded;  // contents that must not be lost
  std::set<std::string> dropped;  // backup entries the new version deleted
};

class World {
 public:
  explicit World(const Spec& spec) : s(spec) {}
  // The first broken promise, or nothing.
  std::string play();

  int runs = 0;
  std::vector<std::string> lines;

 private:
  using Outcome = std::optional<RunOutcome>;
  void build();
  bool stage(const std::string& attempt, const std::string& version, const Files& files);
  Outcome run(const RunOptions& options);
  void check(Outcome outcome, const Files& before, std::size_t refusals);
  void appStart();
  // The disk counts what it keeps from when the fault is armed.
  void arm(int number) {
    if (s.faultAt == 0 || s.faultPhase != number) return;
    fs.failAt(s.faultAt, s.fault, s.code);
    flushed = model;
    flushesSeen = fs.flushes();
  }
  template <typename Body>
  void guard(Body&& body);
  void breaks(bool broken, const std::string& what) {
    if (broken && violation.empty() && !fs.poweredOff()) violation = phase + ": " + what;
  }
  bool isKept(const std::string& path) const {
    return std::any_of(kept.begin(), kept.end(), [&](const std::string& k) { return within(path, k); });
  }
  Files expectOld() const;
  // How `now` differs from either version.
  std::string mixed(const Files& now) const;
  Files installed() const;
  std::multiset<std::string> contents(const std::filesystem::path& folder) const;
  std::filesystem::path at(const std::string& path) const { return root / utf8ToPath(path); }
  void act(std::size_t index);
  void confirm();
  FakeHost::LaunchScript launched();
  // The run the library asked for, as the tool reads its command line.
  RunOptions requested() const {
    const CommandLine c = *parseCommandLine(starter.started.back().arguments).options;
    return {c.work, c.id, c.repair, identityFrom(c.pid, c.pidStarted)};
  }

  const Spec& s;
  MemoryFileSystem fs;
  std::unique_ptr<FakeHost> host;
  FakeStarter starter;  // starts nothing: the world runs the tool it was asked to start
  Workspace ws;
  std::filesystem::path root;  // the install: its folder, or the bundle
  applib::AppPlaces places;
  std::string id = "00000000000000a1", phase = "staging", violation;
  Files v2;
  std::string delta;  // the delta package from the publisher's version 1 to v2
  std::vector<std::string> kept;
  Model model, flushed;  // and as a power cut would leave it
  std::size_t flushesSeen = 0;
  bool appActing = false, raced = false, told = false;
  int interferences = 0, writes = 0;
  const LogSink sink = [this](std::string_view line) { lines.emplace_back(line); };
};

std::string description(const std::string& version, const Spec& s, bool withBad) {
  std::string preserve;
  for (const std::string& path : s.preserve) preserve += "\"" + path + "\", ";
  if (withBad && !s.bad.empty()) preserve += "\"" + s.bad + "\", ";
  return "{\"loftswitch_install\": 1, \"app\": \"sim\", \"version\": \"" + version +
         "\", \"executable\": \"" + s.exe + "\", \"platforms\": [\"windows-x64\"], \"preserve\": [" +
         preserve.substr(0, preserve.size() - std::min<std::size_t>(preserve.size(), 2)) +
         "], \"publicKeys\": [\"" + std::string(43, 'A') + "=\"]}";
}

// A version's files, each saying where it came from; the name as spelled is
// after the version's "n:". A file below another's name can't be laid out.
Files versionFiles(const Spec& s, const std::vector<std::string>& paths, const std::string& n) {
  Files files;
  for (const std::string& path : paths) files[asciiLower(path)] = n + ":" + path;
  files[asciiLower(s.exe)] = n + ":" + s.exe;
  if (!s.bundle) {
    files["loftswitch.json"] = description(n, s, (n == "1") != s.badInPackage);
    files["loftswitch-apply.exe"] = n + ":loftswitch-apply.exe";
  }
  for (auto it = files.begin(); it != files.end();) {
    const auto below = files.lower_bound(it->first + "/");
    const bool folder = below != files.end() && below->first.starts_with(it->first + "/");
    it = folder ? files.erase(it) : std::next(it);
  }
  return files;
}

// As the oracle compares names: "/"-separated, ASCII letters lowered.
std::string norm(std::string text) {
  std::replace(text.begin(), text.end(), '\\', '/');
  return asciiLower(text);
}
std::string norm(const std::filesystem::path& path) { return norm(pathToUtf8(path)); }

std::string spelled(const std::string& key, const std::string& content) {
  const std::size_t colon = content.find(':');
  return colon < 2 && asciiLower(content.substr(colon + 1)) == key ? content.substr(colon + 1) : key;
}

void World::build() {
  host = std::make_unique<FakeHost>();
  const std::filesystem::path base = "C:/A";
  ws = workspaceForInstall(s.bundle ? base / "V.app" : base, s.bundle ? Layout::bundle : Layout::folder);
  root = appLocation(ws);
  places.install = base;
  model.base = versionFiles(s, s.v1, "1");
  v2 = versionFiles(s, s.v2, "2");
  if (s.delta) {
    // The tool is the same in both, so that the delta takes it from the install.
    v2["loftswitch-apply.exe"] = model.base["loftswitch-apply.exe"];
    const auto zip = [](const Files& files) {
      ZipBuilder zip;
      for (const auto& [path, content] : files) zip.file(spelled(path, content), content);
      return zip.build();
    };
    delta = deltaBetween(zip(model.base), zip(v2));  // none for names a package can't hold
  }
  for (const auto& [path, content] : model.base) fs.addFile(at(spelled(path, content)), content);
  if (s.tamper) {
    model.base["loftswitch-apply.exe"] = "changed by the user";
    fs.addFile(at("loftswitch-apply.exe"), "changed by the user");
  }
  starter.app = host->addProcess(at(s.exe), s.appExitMs);
  // The kept paths as the rules have them: the outer of nested ones, of those
  // the install has; each keeps its installed files through the update.
  for (const std::string& path : s.preserve) kept.push_back(asciiLower(path));
  if (!s.bad.empty() && !s.badInPackage) kept.push_back(asciiLower(s.bad));
  std::sort(kept.begin(), kept.end());
  for (std::size_t i = 0; i < kept.size(); ++i) {
    const bool inner = std::any_of(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(i),
                                   [&](const std::string& k) { return within(kept[i], k); });
    const bool installed = std::any_of(model.base.begin(), model.base.end(),
                                       [&](const auto& f) { return within(f.first, kept[i]); });
    if (inner || !installed) kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(i--));
  }
  model.expectNew = v2;
  std::erase_if(model.expectNew, [&](const auto& f) { return isKept(f.first); });
  for (const auto& [path, content] : model.base) {
    if (isKept(path)) model.expectNew[path] = content, model.guarded.insert(content);
  }
  flushed = model;
}

Files World::expectOld() const {
  Files out;
  for (const auto& [path, content] : model.base) {
    if (!isKept(path)) out[path] = content;
  }
  for (const auto& [path, content] : model.expectNew) {
    if (isKept(path)) out[path] = content;
  }
  return out;
}

std::string World::mixed(const Files& now) const {
  std::string out = "a mixed install (";
  for (const Files& want : {expectOld(), model.expectNew}) {
    for (const auto& [path, content] : want) {
      if (!now.contains(path) || now.at(path) != content) out += path + " is not \"" + content + "\"; ";
    }
    for (const auto& [path, content] : now) {
      if (!want.contains(path)) out += path + " is there; ";
    }
    out += "or ";
  }
  return out.substr(0, out.size() - 5) + ")";
}

Files World::installed() const {
  Files files;
  for (const auto& [stored, content] : fs.snapshot(root)) {
    const std::string path = norm(stored);
    if (!path.ends_with('/') && !path.starts_with(".loftswitch/")) files[path] = content;
  }
  return files;
}

std::multiset<std::string> World::contents(const std::filesystem::path& folder) const {
  std::multiset<std::string> out;
  for (const auto& [name, content] : fs.snapshot(folder)) {
    if (!name.ends_with('\\')) out.insert(content);
  }
  return out;
}

// Runs a step of the world. A power cut ends it: what was not flushed is
// lost, of the new version's writes too, and every program with it.
template <typename Body>
void World::guard(Body&& body) {
  body();
  if (!fs.poweredOff()) return;
  fs.heal();
  fs.releaseAll();
  if (fs.flushes() == flushesSeen) model = flushed;
  host = std::make_unique<FakeHost>();
  host->onLaunch = [this] { host->scriptLaunch(launched()); };
  check(std::nullopt, installed(), fs.lockRefusals());
}

bool World::stage(const std::string& attempt, const std::string& version, const Files& files) {
  const auto extract = [&](const std::filesystem::path& staged) -> applib::Outcome<Unit> {
    for (const auto& [path, content] : files) {
      const std::string name = (s.bundle ? "V.app/" : "") + spelled(path, content);
      if (auto written = fs.writeFile(staged / utf8ToPath(name), content); !written) {
        return std::unexpected(applib::Failure{LOFTSWITCH_ERROR_IO, written.error().message});
      }
    }
    return Unit{};
  };
  // The delta rebuilds version 2 from the install, as the library's staging does.
  const auto rebuild = [&](const std::filesystem::path& staged) -> applib::Outcome<Unit> {
    auto reader = openPackage(memoryReadAt(delta), delta.size(), {1 << 30, 70000});
    auto made = reader ? fs.createFolders(staged) : fail(reader.error());
    auto rebuilt = made ? rebuildDelta(*reader, fs, root, staged, {"1", version}) : made;
    if (rebuilt) return Unit{};
    const bool io = rebuilt.error().code == ErrorCode::io;
    return std::unexpected(applib::Failure{io ? LOFTSWITCH_ERROR_IO : LOFTSWITCH_ERROR_REJECTED, rebuilt.error().message});
  };
  if (s.direct) {
    if (!extract(stagedFolder(ws, attempt))) return false;
    Journal journal{.id = attempt, .app = "sim", .from = "1", .to = version, .layout = ws.layout,
                    .executable = (s.bundle ? "V.app/" : "") + s.exe, .preserve = s.preserve,
                    .relaunch = {.args = {std::string(s.argsBytes, 'a')}},
                    .timeouts = {.exitMs = 3000, .confirmMs = 600}};
    if (!s.bad.empty() && !s.badInPackage) journal.preserve.push_back(s.bad);
    return fs.writeFile(journalPath(ws), s.junk ? "{\"journal\": 1," : serializeJournal(journal)).has_value();
  }
  auto read = fs.readFile(at("loftswitch.json"), 65536);
  auto trusted = read ? readInstallDescription(*read) : fail(read.error());
  const UpdateRequest request{.id = attempt, .version = version, .platform = "windows-x64",
                              .exitMs = 3000, .confirmMs = 600};
  const bool fromDelta = !delta.empty() && version == "2";
  auto staged = !trusted  ? std::unexpected(applib::Failure{0, trusted.error().message})
                : fromDelta ? applib::stageAttempt(fs, *host, ws, *trusted, request, false, {}, rebuild)
                            : applib::stageAttempt(fs, *host, ws, *trusted, request, false, {}, extract);
  lines.push_back(staged ? "staged " + attempt : "staging refused: " + staged.error().message);
  return staged.has_value();
}

World::Outcome World::run(const RunOptions& options) {
  ++runs;
  const Files before = installed();
  const std::size_t refusals = fs.lockRefusals();
  const std::int64_t start = host->elapsedMs();
  phase = options.repair ? "repair " + std::to_string(runs) : "apply";
  const Outcome outcome = loftswitch::run(options, fs, *host, sink);
  breaks(host->elapsedMs() - start > 3'600'000, "the run waited an hour");
  if (fs.poweredOff()) return std::nullopt;  // a dead machine's word counts for nothing
  check(outcome, before, refusals);
  return outcome;
}

// The oracle.
void World::check(Outcome outcome, const Files& before, std::size_t refusals) {
  const Files now = installed();
  const bool isOld = now == expectOld(), isNew = now == model.expectNew, same = now == before;
  const std::optional<std::string> text = fs.fileContent(journalPath(ws));
  auto read = text && text->size() <= kJournalSizeLimit ? parseJournal(*text) : fail(ErrorCode::io, "");
  const Journal* j = read && read->id == id ? &*read : nullptr;
  const bool pending = j && (j->state == swapping || j->state == rollingBack);
  const std::string install = isOld ? "the previous install" : isNew ? "the new install" : mixed(now);
  if (outcome) {
    using enum RunOutcome;
    const RunOutcome o = *outcome;
    breaks(exitCodeFor(o) != kExitCodes[static_cast<int>(o)], std::string(outcomeName(o)) + " exits " + std::to_string(exitCodeFor(o)));
    const bool truthful = o == updated       ? isNew && j && j->state == confirmed
                          : o == unconfirmed ? isNew && j && (j->state == swapped || j->state == confirmed)
                          : o == rolledBack  ? isOld && j && j->state != confirmed && j->state != swapped
                          : o == nothingToDo ? same && (!text || (read && !pending))
                          : o == appStillRunning ? same
                          : o == busy        ? same && fs.lockRefusals() > refusals
                          : o == failed      ? isOld || isNew || pending
                                             : false;
    breaks(!truthful, "the run ended " + std::string(outcomeName(o)) + " over " + install +
                          ", the journal " + (j ? std::string(stateName(j->state)) : text ? "unreadable" : "missing"));
  }
  breaks(!isOld && !isNew && !pending, install + " with no repair pending");
  if (j) {
    breaks(j->state == JournalState::rolledBack && !isOld, "the journal says rolled-back over " + install);
    breaks((j->state == confirmed || j->state == swapped) && !isNew, "the journal says " + std::string(stateName(j->state)) + " over " + install);
  }
  // What the user and the new version wrote lies in the install or, once the
  // rollback is told, in the folder its outcome names.
  std::set<std::string> reachable;
  for (const auto& [path, content] : now) reachable.insert(content);
  std::optional<std::multiset<std::string>> beyond;
  for (const std::string& content : model.guarded) {
    if (reachable.contains(content)) continue;
    if (!beyond) beyond = j && j->state == JournalState::rolledBack
                              ? (j->kept.empty() ? std::multiset<std::string>() : contents(utf8ToPath(j->kept)))
                              : contents(ws.workspacePath);
    breaks(!beyond->contains(content), "\"" + content + "\" is lost or out of the outcome's reach");
  }
  if (outcome == RunOutcome::rolledBack && j && !j->kept.empty()) {
    std::uint64_t bytes = 0;
    for (const auto& [name, content] : fs.snapshot(utf8ToPath(j->kept))) bytes += content.size();
    // Unknown only where the disk failed.
    breaks(j->keptBytes == kUnknownKeptBytes ? s.faultAt == 0 && !s.keptDenied : j->keptBytes != bytes, "the outcome says " + std::to_string(j->keptBytes) + " bytes were kept, not " + std::to_string(bytes));
    breaks(std::none_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.contains(j->kept); }),
           "the log doesn't name " + j->kept);
  }
}

FakeHost::LaunchScript World::launched() {
  if (fs.poweredOff()) return FakeHost::exitsWith(0, 0);
  const Files now = installed();
  breaks(now != expectOld() && now != model.expectNew, "a program was started on " + mixed(now));
  if (fs.fileContent(at(s.exe)) != "2:" + s.exe) return FakeHost::exitsWith(0, 500);  // the previous version
  if (s.race && !raced) {
    // A repair by hand the moment the new version starts; it meets a file
    // another program holds, so an undo of its own would stop half way.
    raced = true;
    fs.hold(at(s.exe));
    (void)run(RunOptions{.workspace = ws.workspacePath, .repair = true});
    fs.release(at(s.exe));
  }
  const std::int64_t endMs = 50 * static_cast<std::int64_t>(s.steps.size() + 1);
  auto script = s.end == kCrash ? FakeHost::exitsWith(3, endMs) : FakeHost::neverExits();
  for (std::size_t i = 0; i < s.steps.size(); ++i) {
    script.then(50 * static_cast<std::int64_t>(i + 1), [this, i] { act(i); });
  }
  if (s.end == kConfirm) script.then(endMs, [this] { confirm(); });
  return script;
}

// The new version confirms, and tries again while the lock is taken.
void World::confirm() {
  bool busy = false;
  if (s.bundle) {  // as an app without the library does it
    auto lock = acquireWorkspaceLock(fs, *host, lockPath(ws), 0);
    auto journal = lock ? loadJournal(fs, ws) : fail(lock.error());
    if (journal && journal->state == swapped) journal->state = confirmed, (void)saveJournal(fs, ws, *journal, {});
    busy = !lock && lock.error().code == ErrorCode::locked;
  } else {
    auto confirmed = applib::confirmStartup(fs, *host, places, id, 0);
    busy = !confirmed && confirmed.error().code == LOFTSWITCH_ERROR_BUSY;
  }
  if (busy) host->after(100, [this] { confirm(); });
}

// The new version's own doing, with the model kept in step; what a power cut
// would undo is what no flush made durable since.
void World::act(std::size_t index) {
  const Step& step = s.steps[index];
  if (fs.flushes() != flushesSeen) flushed = model;
  const std::size_t flushes = fs.flushes();
  appActing = true;
  const std::string path = asciiLower(step.path), content = "w" + std::to_string(++writes);
  const std::filesystem::path backup = backupFolder(ws, id) / utf8ToPath(step.path);
  Files& now = model.expectNew;
  // Writes into the backup stand only for a rollback, which puts them back.
  const auto write = [&](const std::filesystem::path& where, Files& files) {
    if (!fs.writeFile(where, content)) return;
    if (&files == &now) model.guarded.erase(files[path]), model.guarded.insert(content);
    files[path] = content;
  };
  const bool fits = std::none_of(now.begin(), now.end(), [&](const auto& f) {
    return path.starts_with(f.first + "/") || f.first.starts_with(path + "/");
  });
  if (step.act == kWrite && fits) {
    write(at(step.path), now);
  } else if (step.act == kMigrate && now.contains(path) && model.guarded.contains(now[path]) &&
             !now.contains(path + ".v2") && fs.move(at(step.path), at(step.path + ".v2"))) {
    now[path + ".v2"] = now[path];
    now.erase(path);
  } else if (step.act == kDropBackup && fs.exists(backup) && fs.remove(backup)) {
    model.dropped.insert(step.path);
    for (const auto& [file, content] : model.base) {
      if (within(file, path)) model.guarded.erase(content);
    }
  } else if (step.act == kEditBackup && model.base.contains(path) && fs.exists(backup)) {
    write(backup, model.base);
  } else if (step.act == kHold && now.contains(path)) {
    fs.hold(at(step.path));
    const auto untilExit = 50 * static_cast<std::int64_t>(s.steps.size() - index);
    if (s.end == kCrash) host->after(untilExit, [this, step] { fs.release(at(step.path)); });
  } else if (step.act == kHelper && now.contains(path)) {
    const std::int64_t until = s.helperMs == kNever ? kNever : host->elapsedMs() + s.helperMs;
    host->addProcess(at("bin/helper.exe"), until);
    fs.hold(at(step.path));
    if (until != kNever) host->after(s.helperMs, [this, step] { fs.release(at(step.path)); });
  }
  appActing = false;
  if (fs.flushes() != flushes) flushed = model;
  flushesSeen = fs.flushes();
}

// What the rules refuse at staging: a preserve entry that isn't a path every
// swap can move, or keeps what an update must replace; a name Windows
// doesn't keep as written; more moves than a journal can record.
bool badPreserve(const Spec& s) {
  const std::string bad = asciiLower(s.bad), exe = asciiLower(s.exe);
  return !bad.empty() && (bad.ends_with(' ') || bad.ends_with('.') || bad.contains("//") ||
                          within(exe, bad) || bad == "loftswitch.json" || bad == "loftswitch-apply.exe");
}

bool refusable(const Spec& s) {
  const auto unkept = [](const std::vector<std::string>& files) {
    return std::any_of(files.begin(), files.end(), [](const std::string& f) { return f.ends_with('.'); });
  };
  return badPreserve(s) || unkept(s.v1) || unkept(s.v2) || s.v1.size() > 4000;
}

void World::appStart() {
  phase = "app start";
  if (s.bundle) return;  // the library has only the folder layout
  const std::optional<std::string> text = fs.fileContent(journalPath(ws));
  auto journal = text ? parseJournal(*text) : fail(ErrorCode::notFound, "");
  const bool pending = journal && (journal->state == swapping || journal->state == rollingBack);
  auto read = applib::readOutcome(fs, places);
  if (!read) return;
  breaks(pending && (!read->present || read->result != "needs-repair"), "an interrupted update reads as \"" + read->result + "\"");
  breaks(read->result == "rolled-back" && installed() != expectOld(), "\"rolled-back\" is read over another install");
  breaks(read->result == "updated" && installed() != model.expectNew, "\"updated\" is read over another install");
  breaks(read->present && journal && read->kept != journal->kept, "the outcome names another kept folder");
  if (read->result == "needs-repair") {
    starter.started.clear();
    if (!applib::startApply(fs, starter, places, read->id, {}) || starter.started.empty()) return;
    guard([&] { (void)run(requested()); });
  } else if (read->present && s.tell && applib::markReported(fs, *host, places, read->id, 0)) {
    told = told || !read->kept.empty();
  }
}

std::string World::play() {

  build();
  fs.onAccess = [this](MemoryFileSystem::Operation operation, const std::filesystem::path& path) {
    using enum MemoryFileSystem::Operation;
    if (!std::set{move, createFolders, remove, writeFile, append, copy, createFile, write}.contains(operation)) return;
    const std::string changed = norm(path), install = norm(root), workspace = norm(ws.workspacePath);
    if (appActing || fs.poweredOff() || !within(changed, install) || within(changed, workspace)) return;
    breaks(!host->running(root).empty(), "the install was changed while a program of it ran: " + changed);
    // Another program makes the entry the moment the tool moves it back in,
    // once; made where it still stands (a move out tried again), it would
    // replace the previous version's own, which no one can tell it from.
    if (!s.interfere.empty() && changed == norm(at(s.interfere)) && !fs.fileContent(path) && fs.snapshot(path).empty() && interferences++ == 0) {
      fs.addFile(path, "made by another program");
      model.guarded.insert("made by another program");
    }
  };
  arm(0);
  bool staged = false;
  guard([&] { staged = stage(id, "2", v2); });
  const bool sound = !refusable(s) && !s.junk && s.argsBytes == 0 && !s.tamper;
  if (!s.direct && (s.faultAt == 0 || s.faultPhase != 0)) {
    breaks(staged != sound, staged ? "staging took what the rules refuse" : "staging refused a sound update: " + lines.back());
    breaks(!staged && badPreserve(s) && !lines.back().contains(s.bad), "the refusal doesn't name \"" + s.bad + "\"");
    breaks(!staged && s.tamper && !refusable(s) && !lines.back().contains("loftswitch-apply.exe"),
           "the delta's refusal doesn't name the changed file: " + lines.back());
  }
  breaks(!staged && installed() != expectOld(), "a refused staging changed the install");
  if (!staged || !violation.empty()) return violation;

  host->onLaunch = [this] { host->scriptLaunch(launched()); };
  arm(1);
  for (const auto op : {MemoryFileSystem::Operation::exists, MemoryFileSystem::Operation::size}) {
    if (s.keptDenied) fs.failOn(op, keptFolder(ws, id), Error{ErrorCode::accessDenied, "can't measure the kept folder: denied"});
  }
  if (s.lockDenied) fs.failOn(MemoryFileSystem::Operation::lock, lockPath(ws), Error{ErrorCode::accessDenied, "can't open the lock: denied"}, 1);
  std::optional<RunOutcome> applied;
  guard([&] {
    RunOptions options{.workspace = ws.workspacePath, .id = id, .app = starter.app};
    if (!s.direct) {
      if (!applib::startApply(fs, starter, places, id, {})) return;
      options = requested();
    }
    applied = run(options);
  });
  const bool calm = s.faultAt == 0 && !s.lockDenied && !s.race && s.interfere.empty() &&
                    s.end == kConfirm && s.appExitMs != kNever;
  breaks(sound && calm && applied != RunOutcome::updated, "a sound update in a calm world didn't end updated");
  for (int r = 0; r < s.repairs; ++r) {
    arm(2 + r);
    guard([&] { (void)run(RunOptions{.workspace = ws.workspacePath, .repair = true}); });
  }
  guard([&] { appStart(); });
  // A restart: nothing runs any more, and the disk works again, unless it is
  // only full. A repair then settles the update, or names the backup that
  // is gone.
  if (s.fault != Fault::diskFull) fs.heal();
  fs.releaseAll();
  host = std::make_unique<FakeHost>();
  host->onLaunch = [this] { host->scriptLaunch(launched()); };
  guard([&] { (void)run(RunOptions{.workspace = ws.workspacePath, .repair = true}); });
  const auto text = fs.fileContent(journalPath(ws));
  const auto last = text ? parseJournal(*text) : fail(ErrorCode::notFound, "");
  const bool named = std::any_of(model.dropped.begin(), model.dropped.end(), [&](const std::string& d) {
    return last && asciiLower(last->lastError).contains(asciiLower(d) + " can't be put back");
  });
  breaks(last && (last->state == swapping || last->state == rollingBack) && !named,
         "a repair after a restart left the update unsettled: " + (last ? last->lastError : ""));
  guard([&] { appStart(); });
  fs.heal();
  // What a rollback set aside stays until the app was told and three newer
  // attempts came.
  for (int n = 1; n <= s.later && !s.direct && violation.empty(); ++n) {
    const std::string version = std::to_string(n + 2);
    guard([&] { (void)stage("00000000000000b" + std::to_string(n), version, versionFiles(s, {}, version)); });
    if (told && n >= 3) break;
    std::multiset<std::string> reachable = contents(ws.targetRoot);
    for (const std::string& content : model.guarded) breaks(!reachable.contains(content), "\"" + content + "\" was deleted after " + std::to_string(n) + " newer attempts");
  }
  return violation;
}

// Drops what a failing world can do without, one piece at a time, for as
// long as it still fails.
Spec shrink(Spec spec, std::string& why) {
  const auto fails = [&](const Spec& candidate) {
    World world(candidate);
    std::string found = world.play();
    if (!found.empty()) why = found;
    return !found.empty();
  };
  for (bool smaller = true; smaller;) {
    smaller = false;
    const auto dropEach = [&](auto member) {
      for (std::size_t i = 0; i < (spec.*member).size(); ++i) {
        Spec candidate = spec;
        (candidate.*member).erase((candidate.*member).begin() + static_cast<std::ptrdiff_t>(i));
        if (fails(candidate)) spec = candidate, smaller = true, --i;
      }
    };
    dropEach(&Spec::v1), dropEach(&Spec::v2), dropEach(&Spec::preserve), dropEach(&Spec::steps);
    const std::function<void(Spec&)> simpler[] = {
        [](Spec& c) { c.faultAt /= 2; }, [](Spec& c) { c.repairs = std::max(0, c.repairs - 1); },
        [](Spec& c) { c.later = std::max(0, c.later - 1); }, [](Spec& c) { c.race = false; },
        [](Spec& c) { c.lockDenied = false; }, [](Spec& c) { c.interfere.clear(); }, [](Spec& c) { c.keptDenied = false; },
        [](Spec& c) { c.bad.clear(); }, [](Spec& c) { c.faultAt = 0; }};
    for (const auto& simplify : simpler) {
      Spec candidate = spec;
      simplify(candidate);
      if (describe(candidate) != describe(spec) && fails(candidate)) spec = candidate, smaller = true;
    }
  }
  return spec;
}

}  // namespace
}  // namespace loftswitch

int main(int argc, char** argv) {
  using namespace loftswitch;
  std::uint64_t from = 1, runs = 0, seconds = 0, replay = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const std::uint64_t value = std::strtoull(argv[i + 1], nullptr, 0);
    if (option == "--from") from = value;
    if (option == "--runs") runs = value;
    if (option == "--seconds") seconds = value;
    if (option == "--seed") replay = from = value, runs = 1;
  }
  if (replay != 0) std::printf("%s", describe(generate(replay)).c_str());
  const auto start = std::chrono::steady_clock::now();
  std::atomic<std::uint64_t> next = from, worlds = 0, played = 0, violations = 0;
  std::mutex output;
  // Worlds are independent, so each core plays its own seeds.
  const auto play = [&] {
    for (;;) {
      const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (runs != 0 ? played >= runs : elapsed >= static_cast<double>(seconds)) return;
      const std::uint64_t seed = next++;
      if (replay != 0 && seed != replay) return;
      const Spec spec = generate(seed);
      World world(spec);
      const std::string violation = world.play();
      ++worlds;
      played += static_cast<std::uint64_t>(world.runs);
      if (violation.empty()) continue;
      ++violations;
      std::string why = violation;
      const Spec smallest = shrink(spec, why);
      World again(smallest);
      (void)again.play();
      const std::lock_guard<std::mutex> hold(output);
      std::printf("violation in seed %#llx: %s\nthe world, shrunk:\n%sits log:\n",
                  static_cast<unsigned long long>(seed), why.c_str(), describe(smallest).c_str());
      for (const std::string& line : again.lines) std::printf("  %s\n", line.substr(0, 300).c_str());
      std::printf("replay: scripts/simulate.sh --seed %#llx\n", static_cast<unsigned long long>(seed));
    }
  };
  std::vector<std::thread> workers(replay != 0 ? 1 : std::max(1u, std::thread::hardware_concurrency()));
  for (std::thread& worker : workers) worker = std::thread(play);
  for (std::thread& worker : workers) worker.join();
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.0f runs/s on %zu threads\nsimulation: %llu worlds, %llu runs, %llu violations\n",
              static_cast<double>(played) / std::max(elapsed, 1e-9), workers.size(),
              static_cast<unsigned long long>(worlds.load()), static_cast<unsigned long long>(played.load()),
              static_cast<unsigned long long>(violations.load()));
  return violations == 0 ? 0 : 1;
}
