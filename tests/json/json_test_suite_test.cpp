
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "json/strict_json.h"
#include "support/matchers.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

// The parsing cases of the JSONTestSuite collection, by their first letter:
// y_ must be accepted, n_ refused, and i_ may go either way but must not
// bring the parser down.
std::vector<std::filesystem::path> suiteCases(char kind) {
  std::vector<std::filesystem::path> cases;
  for (const auto& entry : std::filesystem::directory_iterator(
           std::filesystem::path(LOFTSWITCH_SOURCE_DIR) / "tests/data/jsontestsuite/test_parsing")) {
    if (entry.path().filename().string().starts_with(std::string{kind, '_'})) cases.push_back(entry.path());
  }
  return cases;
}

TEST(JsonTestSuiteTest, AcceptsEveryValidDocumentButDuplicateKeys) {
  const auto cases = suiteCases('y');
  ASSERT_EQ(cases.size(), 95u);
  using Expected = ::testing::Matcher<const Result<nlohmann::json>&>;
  for (const auto& path : cases) {
    const std::string name = path.filename().string();
    EXPECT_THAT(parseStrictJson(readTestFile(path), 4),
                name.starts_with("y_object_duplicated_key")
                    ? Expected(FailsWith(ErrorCode::invalidData, "duplicate key \"a\""))
                    : Expected(IsOkay()))
        << name;
  }
}

TEST(JsonTestSuiteTest, RefusesInvalidDocumentsAndNeverYieldsInvalidText) {
  const auto refused = suiteCases('n');
  const auto undecided = suiteCases('i');
  ASSERT_EQ(refused.size(), 188u);
  ASSERT_EQ(undecided.size(), 35u);
  // Without a practical depth limit the library's own checks are on trial.
  for (std::uint32_t maxDepth : {std::uint32_t{8}, UINT32_MAX}) {
    for (const auto& path : refused) {
      const std::string name = path.filename().string();
      auto result = parseStrictJson(readTestFile(path), maxDepth);
      EXPECT_THAT(result, FailsWithCode(ErrorCode::invalidData)) << name;
      if (result || maxDepth != UINT32_MAX || name == "n_multidigit_number_then_00.json") continue;
      EXPECT_TRUE(result.error().message.starts_with("[json.exception.")) << name;
    }
    // Whatever is accepted must write back as valid UTF-8: a strict dump
    // throws on anything else.
    for (const auto& path : undecided) {
      auto result = parseStrictJson(readTestFile(path), maxDepth);
      EXPECT_TRUE(result ? (result->dump(), true) : result.error().code == ErrorCode::invalidData)
          << path.filename().string();
    }
  }
}

}  // namespace
}  // namespace loftswitch
