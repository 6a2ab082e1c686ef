#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/text.h"
#include "support/programs.h"
#include "support/temp_folder.h"
#include "support/zip_builder.h"

namespace loftswitch {
namespace {

// The publisher's check reads an archive as the installing side does: every
// archive that side refuses is refused here with the same words.
TEST(PackToolTest, CheckRefusesEveryHostileArchive) {
  TempFolder temp;
  for (const HostileArchive& archive : hostileArchives()) {
    writeTestFile(temp / "hostile.zip", archive.bytes);
    const ProgramRun check = runProgram(builtProgram("loftswitch-pack"), {"check", pathToUtf8(temp / "hostile.zip")});
    EXPECT_EQ(check.exitCode, 1) << archive.name;
    EXPECT_THAT(check.err, ::testing::HasSubstr(archive.refusal)) << archive.name;
  }
}

}  // namespace
}  // namespace loftswitch
