#include "workspace/journal_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/local_file_system.h"
#include "support/held_file.h"
#include "support/matchers.h"
#include "support/temp_folder.h"

using namespace loftswitch;
using ::testing::ElementsAre;

// Failed reads and saves on the in-memory disk are the sweeps' business;
// here the real file system's atomic replace.
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
