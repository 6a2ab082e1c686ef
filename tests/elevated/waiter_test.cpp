#include "elevated/waiter.h"

#include <string>
#include <vector>

#include "support/fake_host.h"
#include "support/matchers.h"
#include "support/memory_file_system.h"
#include "workspace/journal.h"
#include "workspace/workspace.h"

namespace loftswitch {
namespace {

constexpr char kId[] = "0123456789abcdef";
const std::filesystem::path kInstall = std::filesystem::path("C:/Program Files") / "Demo";
const std::filesystem::path kUser = std::filesystem::path("C:/Users") / "me" / ".loftswitch";
const std::string kOutcome = std::string("outcome-") + kId + ".json";

struct Waiter {
  Waiter() {
    request = {.id = kId, .install = kInstall, .userWorkspace = kUser, .executable = "bin/demo.exe",
               .relaunchArgs = {"--after-update", "x y"}, .exitMs = 1000, .confirmMs = 2000};
    fs.addFolder(kUser);
    fs.addFile(kInstall / "bin" / "demo.exe", "exe");
  }
  void journal(JournalState state, const std::string& id = kId) {
    Journal journal{.id = id, .app = "demo", .from = "1.0.0", .to = "1.1.0", .state = state,
                    .executable = "bin/demo.exe"};
    fs.addFile(journalPath(workspaceForInstall(kInstall, Layout::folder)), serializeJournal(journal));
  }
  void journalAt(std::int64_t ms, JournalState state) { host.after(ms, [this, state] { journal(state); }); }
  RunOutcome run() { return runWaiter(request, app, elevated, fs, host, sink, 100); }

  UpdateRequest request;
  std::optional<ProcessIdentity> app;
  std::optional<ProcessIdentity> elevated;
  MemoryFileSystem fs;
  FakeHost host;
  LogSink sink = [](std::string_view) {};
};

// How the helper ended decides what starts, and whether the waiter leaves
// the outcome the helper could not write.
TEST(WaiterTest, StartsOneVersionWhateverTheHelperLeft) {
  const struct {
    const char* name;
    std::function<void(Waiter&)> setUp;
    RunOutcome outcome;
    std::size_t launches;
    bool outcomeFile = false;
    bool waitsOut = false;  // until the exit and confirmation times and the helper's allowance
    const char* exited = "";  // what the helper is told of an early exit
  } cases[] = {
      {"confirmed", [](Waiter& w) {
         w.app = w.host.addProcess(kInstall / "bin" / "demo.exe", 400);
         w.journalAt(0, JournalState::swapping), w.journalAt(900, JournalState::swapped), w.journalAt(1500, JournalState::confirmed);
       }, RunOutcome::updated, 1},
      {"refused", [](Waiter& w) { w.journal(JournalState::rolledBack); }, RunOutcome::rolledBack, 1},
      {"rolled back after the start", [](Waiter& w) { w.journal(JournalState::swapped), w.journalAt(500, JournalState::rolledBack); },
       RunOutcome::rolledBack, 1},
      {"stopped without a journal of this attempt", [](Waiter& w) {
         w.journal(JournalState::confirmed, "fedcba9876543210");
         w.elevated = w.host.addProcess(kInstall / ".loftswitch" / "loftswitch-apply.exe", 300);
       }, RunOutcome::failed, 1, true},
      {"stopped with a damaged journal", [](Waiter& w) {
         w.fs.addFile(journalPath(workspaceForInstall(kInstall, Layout::folder)), R"({"journal": 1, "id": ")");
         w.elevated = w.host.addProcess("C:/elevated.exe", 300);
       }, RunOutcome::failed, 1, true},
      {"ended swapped, the first start failing", [](Waiter& w) {
         w.journal(JournalState::swapped), w.elevated = w.host.addProcess("C:/elevated.exe", 250);
         w.host.scriptLaunch(FakeHost::launchFails(Error{ErrorCode::launchFailed, "can't start it"}));
       }, RunOutcome::unconfirmed, 2},
      {"the new version crashed, then rolled back", [](Waiter& w) {
         w.journal(JournalState::swapped), w.journalAt(500, JournalState::rolledBack);
         w.elevated = w.host.addProcess("C:/e.exe", 600), w.host.scriptLaunch(FakeHost::exitsWith(0xFFFFFFF9u, 100));
       }, RunOutcome::rolledBack, 2, false, false, "-7"},
      {"died mid-swap", [](Waiter& w) { w.journal(JournalState::swapping), w.elevated = w.host.addProcess("C:/e.exe", 200); },
       RunOutcome::failed, 1},
      {"never wrote", [](Waiter&) {}, RunOutcome::failed, 1, false, true},
      {"app still running", [](Waiter& w) { w.journal(JournalState::confirmed), w.app = w.host.addProcess(kInstall / "bin" / "demo.exe"); },
       RunOutcome::appStillRunning, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Waiter w;
    c.setUp(w);
    EXPECT_EQ(w.run(), c.outcome);
    EXPECT_EQ(w.host.launches().size(), c.launches);
    // A second version starts only once the first has ended early.
    EXPECT_LE(w.host.launchedPids().size(), *c.exited ? 2u : 1u);
    EXPECT_EQ(w.fs.fileContent(kUser / kOutcome).has_value(), c.outcomeFile);
    EXPECT_EQ(w.host.elapsedMs() >= 1000 + 600000 + 2000, c.waitsOut);
    EXPECT_EQ(w.fs.fileContent(kUser / (std::string("exited-") + kId)).value_or(""), c.exited);
  }
  // The new version starts from the install, with its arguments and the attempt.
  Waiter confirmed;
  cases[0].setUp(confirmed);
  (void)confirmed.run();
  EXPECT_THAT(confirmed.host.launches(), ::testing::ElementsAre(LaunchRequest{
                  .program = kInstall / "bin" / "demo.exe", .arguments = {"--after-update", "x y"},
                  .workingFolder = kInstall, .environment = {{"LOFTSWITCH_RELAUNCH", kId}}, .breakaway = true}));
  Waiter stopped;
  cases[3].setUp(stopped);
  (void)stopped.run();
  EXPECT_EQ(stopped.fs.fileContent(kUser / kOutcome),
            R"({"detail":"the administrator helper stopped before it changed anything",)"
            R"("reason":"elevation-failed","result":"rolled-back"})");
}

}  // namespace
}  // namespace loftswitch
