#include "workspace/journal_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/local_file_system.h"
#include "support/held_file.h"
#include "support/matchers.h"
#include "support/memory_file_system.h"
#include "support/temp_folder.h"

using namespace loftswitch;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::StartsWith;

namespace {

class JournalStoreTest : public ::testing::Test {
 protected:
  JournalStoreTest() : workspace_(workspaceForInstall("C:\\Apps\\Demo", Layout::folder)) {
    journal_.id = "0123456789abcdef";
    journal_.app = "demo";
    journal_.from = "1.0";
    journal_.to = "1.1";
    journal_.executable = "demo.exe";
    journal_.moves = {Move{Location::target, Location::backup, "demo.exe"}};
  }

  LogSink sink() {
    return [this](std::string_view line) { lines_.emplace_back(line); };
  }

  MemoryFileSystem fs_;
  Workspace workspace_;
  Journal journal_;
  std::vector<std::string> lines_;
};

}  // namespace

TEST_F(JournalStoreTest, ReadFailuresComeBackUnchangedAndADamagedJournalIsLeftAsItIs) {
  fs_.addFolder(workspace_.workspacePath);
  auto missing = fs_.readFile(journalPath(workspace_), 1);
  ASSERT_FALSE(missing.has_value());
  EXPECT_THAT(loadJournal(fs_, workspace_),
              FailsWith(ErrorCode::notFound, missing.error().message));

  fs_.addFile(journalPath(workspace_), "{\"journal\": 1");
  const auto before = fs_.snapshot();
  EXPECT_THAT(
      loadJournal(fs_, workspace_),
      AllOf(FailsWithCode(ErrorCode::io),
            FailsWithMessageThat(StartsWith("the update journal is damaged: [json.exception."))));
  EXPECT_EQ(fs_.snapshot(), before);

  const Error denied{ErrorCode::accessDenied, "can't open the journal: access is denied. (5)"};
  fs_.failOn(MemoryFileSystem::Operation::readFile, journalPath(workspace_), denied);
  EXPECT_THAT(loadJournal(fs_, workspace_), FailsWith(denied.code, denied.message));
}

TEST_F(JournalStoreTest, AFailedSaveIsLoggedReturnedAndKeepsTheOldJournal) {
  ASSERT_THAT(saveJournal(fs_, workspace_, journal_, sink()), IsOkay());
  const std::string old = serializeJournal(journal_);
  const Error denied{ErrorCode::accessDenied, "can't replace the journal: access is denied. (5)"};
  fs_.failOn(MemoryFileSystem::Operation::writeFile, journalPath(workspace_), denied, 1);

  Journal changed = journal_;
  changed.state = JournalState::swapping;
  EXPECT_THAT(saveJournal(fs_, workspace_, changed, sink()),
              FailsWith(denied.code, denied.message));
  EXPECT_THAT(lines_, ElementsAre("can't save the journal: " + denied.message));
  EXPECT_EQ(fs_.fileContent(journalPath(workspace_)), old);
  // Without a log the error still comes back.
  fs_.failOn(MemoryFileSystem::Operation::writeFile, journalPath(workspace_), denied, 1);
  EXPECT_THAT(saveJournal(fs_, workspace_, changed, LogSink{}),
              FailsWith(denied.code, denied.message));
}

TEST(JournalStoreOnDiskTest, SavesLoadsAndKeepsTheOldJournalWhileAnotherProgramHoldsIt) {
  TempFolder temp;
  LocalFileSystem fs;
  const Workspace workspace = workspaceForInstall(temp / "Démo", Layout::folder);
  Journal journal;
  journal.id = "0123456789abcdef";
  journal.executable = "démo.exe";
  std::vector<std::string> lines;
  LogSink log = [&lines](std::string_view line) { lines.emplace_back(line); };

  ASSERT_THAT(saveJournal(fs, workspace, journal, log), IsOkay());
  auto loaded = loadJournal(fs, workspace);
  ASSERT_THAT(loaded, IsOkay());
  EXPECT_EQ(*loaded, journal);

  const std::string old = readTestFile(journalPath(workspace));
  Journal changed = journal;
  changed.state = JournalState::swapping;
  {
    HeldFile holder("exclusive", journalPath(workspace));
    ASSERT_TRUE(holder.held());
    auto saved = saveJournal(fs, workspace, changed, log);
    ASSERT_FALSE(saved.has_value());
    EXPECT_THAT(lines, ElementsAre("can't save the journal: " + saved.error().message));
  }
  EXPECT_EQ(readTestFile(journalPath(workspace)), old);
  EXPECT_THAT(loadJournal(fs, workspace), IsOkay());

  std::string padded = serializeJournal(journal);
  padded.append(1048576 - padded.size(), '\n');
  writeTestFile(journalPath(workspace), padded);
  EXPECT_THAT(loadJournal(fs, workspace), IsOkay());
  writeTestFile(journalPath(workspace), padded + "\n");
  EXPECT_THAT(loadJournal(fs, workspace), FailsWithCode(ErrorCode::tooLarge));
}
