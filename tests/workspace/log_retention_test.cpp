#include "workspace/log_retention.h"

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "base/log_stamp.h"
#include "support/matchers.h"
#include "support/memory_file_system.h"

namespace loftswitch {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string stamped(int second, const char* rest) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "20261205T1031%02dZ-", second);
  return stamp + std::string(rest);
}

// Written newest first, in three kinds of run logs, so that only the stamps
// can tell their age; one delete fails and must neither stop the others nor
// go unsaid.
TEST(LogRetentionTest, KeepsTheNewestTwentyOfEachKindAndNoOtherFile) {
  MemoryFileSystem fs;
  const std::filesystem::path logs = std::filesystem::path("C:/app/.loftswitch") / "logs";
  const char* kinds[] = {"0123456789abcdef-41-apply.log", "0123456789abcdef-42-elevated.log",
                         "0123456789abcdef-43-waiter.log"};
  const std::string journal = "0123456789abcdef-journal.json";
  const std::string stuck = stamped(11, kinds[11 % 3]);
  MemoryFileSystem::Snapshot expected{{stuck, "x"}};
  for (int second = 33; second >= 10; --second) {
    fs.addFile(logs / stamped(second, kinds[second % 3]), "x");
    if (second >= 14) expected[stamped(second, kinds[second % 3])] = "x";
    if (second <= 30) fs.addFile(logs / stamped(second, journal.c_str()), "{}");
    if (second <= 30 && second >= 11) expected[stamped(second, journal.c_str())] = "{}";
  }
  for (const char* other : {"notes.log", "00000000T000000Z-mine.txt", "2026120T5103100Z-x.log"}) {
    fs.addFile(logs / other, "mine");
    expected[other] = "mine";
  }
  fs.failOn(MemoryFileSystem::Operation::remove, logs / stuck, Error{ErrorCode::inUse, "held"});
  std::vector<std::string> lines;
  const LogSink sink = [&](std::string_view line) { lines.emplace_back(line); };
  pruneLogs(fs, logs, sink);
  EXPECT_EQ(fs.snapshot(logs), expected);
  EXPECT_THAT(lines, ElementsAre(HasSubstr("can't remove the old log")));
  // The stamps it goes by are those the logs are named with.
  EXPECT_TRUE(std::regex_match(logStamp(), std::regex("[0-9]{8}T[0-9]{6}Z"))) << logStamp();
}

}  // namespace
}  // namespace loftswitch
