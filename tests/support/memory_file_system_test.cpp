#include "support/memory_file_system.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/win32.h"
#include "support/matchers.h"

namespace loftswitch {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Snapshot = MemoryFileSystem::Snapshot;

TEST(MemoryFileSystemTest, FindsNamesInAnyCaseAndKeepsTheirOwn) {
  MemoryFileSystem fs;
  fs.addFile("C:\\App\\Data\\User.db", "u");
  EXPECT_TRUE(fs.exists("c:\\app\\DATA\\user.DB"));
  EXPECT_TRUE(fs.isFolder("C:\\APP\\data"));
  EXPECT_FALSE(fs.isFolder("C:\\App\\Data\\User.db"));
  EXPECT_THAT(fs.readFile("C:/app/data/user.db", 10), ::testing::Optional(std::string("u")));

  fs.addFile("C:\\App\\b", "");
  fs.addFile("C:\\App\\B2", "");
  fs.addFile("C:\\App\\a", "");
  // Byte order: upper case before lower case.
  EXPECT_THAT(fs.list("C:\\app"), ::testing::Optional(ElementsAre("B2", "Data", "a", "b")));
  EXPECT_THAT(fs.list("C:\\app\\missing"), FailsWithCode(ErrorCode::notFound));
  EXPECT_THAT(fs.list("C:\\app\\a"), FailsWithMessageThat(StartsWith("can't list C:\\app\\a: ")));
}

TEST(MemoryFileSystemTest, MovesWholeTreesWithoutReplacing) {
  MemoryFileSystem fs;
  fs.addFile("C:\\src\\Dir\\x.txt", "x");
  fs.addFile("C:\\src\\Dir\\sub\\y.txt", "y");
  fs.addFile("C:\\dst\\taken", "t");

  EXPECT_THAT(fs.move("C:\\src\\dir", "C:\\dst\\new\\Moved"), IsOkay());
  EXPECT_EQ(fs.snapshot("C:\\dst\\new"),
            (Snapshot{{"Moved\\", ""}, {"Moved\\sub\\", ""}, {"Moved\\sub\\y.txt", "y"},
                      {"Moved\\x.txt", "x"}}));
  EXPECT_FALSE(fs.exists("C:\\src\\Dir\\x.txt"));

  EXPECT_THAT(fs.move("C:\\dst\\new\\moved", "C:\\DST\\Taken"),
              FailsWithMessageThat(StartsWith("can't move C:\\dst\\new\\moved to C:\\DST\\Taken: ")));
  EXPECT_EQ(fs.fileContent("C:\\dst\\taken"), "t");
  EXPECT_TRUE(fs.exists("C:\\dst\\new\\moved\\x.txt"));

  EXPECT_THAT(fs.move("C:\\src\\gone", "C:\\dst\\gone"), FailsWithCode(ErrorCode::notFound));
  // A new case for the same entry is a rename, not a replacement.
  EXPECT_THAT(fs.move("C:\\dst\\taken", "C:\\dst\\TAKEN"), IsOkay());
  EXPECT_EQ(fs.storedName("C:\\dst\\taken"), "C:\\dst\\TAKEN");
}

TEST(MemoryFileSystemTest, HeldEntriesStayUntilReleased) {
  MemoryFileSystem fs;
  fs.addFile("C:\\app\\bin\\app.exe", "exe");
  fs.addFile("C:\\app\\bin\\lib.dll", "dll");
  fs.hold("C:\\app\\bin\\app.exe");

  EXPECT_THAT(fs.move("C:\\app\\bin\\app.exe", "C:\\b\\app.exe"), FailsWithCode(ErrorCode::inUse));
  EXPECT_THAT(fs.move("C:\\app\\bin", "C:\\b\\bin"), FailsWithCode(ErrorCode::accessDenied));
  EXPECT_THAT(fs.remove("C:\\app"),
              FailsWith(ErrorCode::inUse, "can't delete C:\\app: " + windowsErrorText(32)));
  EXPECT_EQ(fs.snapshot("C:\\app"),
            (Snapshot{{"bin\\", ""}, {"bin\\app.exe", "exe"}}));

  fs.release("C:\\APP\\bin\\app.exe");
  EXPECT_THAT(fs.remove("C:\\app"), IsOkay());
  EXPECT_FALSE(fs.exists("C:\\app"));
  EXPECT_THAT(fs.remove("C:\\app"), IsOkay());
}

TEST(MemoryFileSystemTest, InjectedFailuresCountDownAndPowerLossFreezesEverything) {
  MemoryFileSystem fs;
  fs.addFile("C:\\a", "a");
  fs.failOn(MemoryFileSystem::Operation::move, "C:\\B", Error{ErrorCode::inUse, "busy"}, 2);
  EXPECT_THAT(fs.move("C:\\a", "C:\\b"), FailsWith(ErrorCode::inUse, "busy"));
  EXPECT_THAT(fs.move("C:\\a", "C:\\b"), FailsWith(ErrorCode::inUse, "busy"));
  EXPECT_THAT(fs.move("C:\\a", "C:\\b"), IsOkay());

  fs.failOn(MemoryFileSystem::Operation::checkWritable, "C:\\ro",
            Error{ErrorCode::notWritable, "no"});
  EXPECT_THAT(fs.checkWritable("C:\\ro"), FailsWithCode(ErrorCode::notWritable));

  const Snapshot before = fs.snapshot();
  const std::size_t count = fs.operationCount();
  fs.powerLossAfter(1);
  EXPECT_THAT(fs.writeFile("C:\\c", "c"), IsOkay());
  EXPECT_THAT(fs.move("C:\\b", "C:\\d"), FailsWithMessageThat(HasSubstr("(21)")));
  EXPECT_THAT(fs.remove("C:\\c"), FailsWithCode(ErrorCode::io));
  EXPECT_FALSE(fs.exists("C:\\b"));
  EXPECT_EQ(fs.operationCount(), count + 4);
  fs.restorePower();
  Snapshot expected = before;
  expected["C:\\c"] = "c";
  EXPECT_EQ(fs.snapshot(), expected);
}

}  // namespace
}  // namespace loftswitch
