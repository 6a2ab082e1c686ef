#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "json/strict_json.h"
#include "support/matchers.h"
#include "support/temp_folder.h"

using namespace loftswitch;

namespace {

// Parsing cases of the JSONTestSuite collection: y_ must be accepted, n_
// refused, and i_ may go either way but must not bring the parser down.
std::vector<std::filesystem::path> suiteCases(std::string_view prefix) {
  const std::filesystem::path folder =
      std::filesystem::path(LOFTSWITCH_SOURCE_DIR) / "tests" / "data" / "jsontestsuite" /
      "test_parsing";
  std::vector<std::filesystem::path> cases;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().filename().string().starts_with(prefix)) cases.push_back(entry.path());
  }
  std::sort(cases.begin(), cases.end());
  return cases;
}

}  // namespace

TEST(JsonTestSuiteTest, AcceptsEveryValidDocument) {
  const auto cases = suiteCases("y_");
  ASSERT_EQ(cases.size(), 95u);
  for (const auto& path : cases) {
    auto result = parseStrictJson(readTestFile(path), 4);
    const std::string name = path.filename().string();
    // Valid JSON, but a key given twice is refused here by design.
    if (name.starts_with("y_object_duplicated_key")) {
      EXPECT_THAT(result, FailsWith(ErrorCode::invalidData, "duplicate key \"a\"")) << name;
      continue;
    }
    EXPECT_TRUE(result.has_value()) << name << ": " << (result ? "" : result.error().message);
  }
}

TEST(JsonTestSuiteTest, RefusesEveryInvalidDocumentWithTheLibrarysMessage) {
  const auto cases = suiteCases("n_");
  ASSERT_EQ(cases.size(), 188u);
  // Without a practical depth limit the library's own checks are on trial.
  for (std::uint32_t maxDepth : {std::uint32_t{8}, UINT32_MAX}) {
    for (const auto& path : cases) {
      auto result = parseStrictJson(readTestFile(path), maxDepth);
      ASSERT_FALSE(result.has_value()) << path.filename().string();
      EXPECT_EQ(result.error().code, ErrorCode::invalidData) << path.filename().string();
      if (maxDepth == UINT32_MAX && path.filename() != "n_multidigit_number_then_00.json") {
        EXPECT_TRUE(result.error().message.starts_with("[json.exception."))
            << path.filename().string() << ": " << result.error().message;
      }
    }
  }
}

TEST(JsonTestSuiteTest, UndecidedDocumentsNeverYieldInvalidText) {
  const auto cases = suiteCases("i_");
  ASSERT_EQ(cases.size(), 35u);
  for (std::uint32_t maxDepth : {std::uint32_t{8}, UINT32_MAX}) {
    for (const auto& path : cases) {
      auto result = parseStrictJson(readTestFile(path), maxDepth);
      if (!result) {
        EXPECT_EQ(result.error().code, ErrorCode::invalidData) << path.filename().string();
        continue;
      }
      // Whatever is accepted must write back as valid UTF-8: a strict dump
      // throws on anything else.
      EXPECT_NO_THROW((void)result->dump()) << path.filename().string();
    }
  }
}
