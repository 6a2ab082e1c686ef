#include "loftswitch/app.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "lib/app_test_support.h"
#include "support/programs.h"
#include "support/run_program.h"

namespace loftswitch::applib {
namespace {

// Polls up to `tenths` tenths of a second for `done`.
template <typename Done>
void waitFor(int tenths, Done done) {
  while (tenths-- > 0 && !done()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

class AppApiTest : public AppFolders {};

// Both halves for real: the sample application stages nothing by hand,
// starts the real tool through the library and exits; its new version
// confirms and tells the user through the library.
TEST_F(AppApiTest, TheSampleAppUpdatesItselfThroughTheLibrary) {
  const std::string app = readTestFile(builtProgram("sample-app"));
  writeTestFile(install() / "sample-app.exe", app);
  std::filesystem::copy_file(builtProgram("loftswitch-apply"), install() / "loftswitch-apply.exe");
  writeTestFile(install() / "sample.ini", "version=1\nmode=confirm\n");
  const nlohmann::json sample = {{"executable", "sample-app.exe"}};
  writeTestFile(install() / "loftswitch.json", description("1", sample));
  const std::string tool = readTestFile(install() / "loftswitch-apply.exe");
  const std::string package =
      ZipBuilder().file("sample-app.exe", app, 0).file("loftswitch-apply.exe", tool, 0)
          .file("sample.ini", "version=2\nmode=confirm\n")
          .file("loftswitch.json", description("2", sample)).build();
  ASSERT_EQ(stage(package, signFor(package, "2"), R"({"confirmMs": 30000})"), LOFTSWITCH_OK)
      << message;

  const ProgramRun start = runProgram(install() / "sample-app.exe", {"--start-update", id});
  ASSERT_EQ(start.exitCode, 0) << start.err;
  Journal journal;
  waitFor(600, [&] {
    if (auto read = parseJournal(readTestFile(workspace() / "journal.json"))) journal = *read;
    return journal.reported;
  });
  EXPECT_EQ(journal.id, std::string(id));
  EXPECT_EQ(journal.state, JournalState::confirmed);
  EXPECT_EQ(journal.outcome, (OutcomeRecord{"updated", "", ""}));
  EXPECT_EQ(readTestFile(install() / "sample.ini"), "version=2\nmode=confirm\n");
  // The tool ends once it has seen the confirmation; the folder goes after.
  waitFor(100, [&] {
    return std::ranges::any_of(std::filesystem::directory_iterator(workspace() / "logs"),
        [](const auto& log) { return readTestFile(log.path()).contains("finished: updated"); });
  });
}

}  // namespace
}  // namespace loftswitch::applib
