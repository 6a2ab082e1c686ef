#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "elevated/version.h"

namespace loftswitch {
namespace {

using Numbers = std::array<std::uint64_t, 4>;

Version version(std::string_view text) {
  const std::optional<Version> parsed = parseVersion(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  return parsed.value_or(Version{});
}

TEST(VersionTest, ReadsNumbersPreReleaseAndKeepsTheText) {
  const Version v = version("V1.2.3-rc.1+build.7");
  EXPECT_EQ(v.text, "V1.2.3-rc.1+build.7");
  EXPECT_EQ(v.numbers, (Numbers{1, 2, 3, 0}));
  EXPECT_EQ(v.preRelease, (std::vector<std::string>{"rc", "1"}));
  EXPECT_EQ(version("1").numbers, (Numbers{1, 0, 0, 0}));
  EXPECT_EQ(version("1.2.3.4").numbers, (Numbers{1, 2, 3, 4}));
  EXPECT_EQ(version("999999999999999999").numbers[0], 999999999999999999u);
  EXPECT_TRUE(version("1.0+exp.sha-5114f85").preRelease.empty());
  EXPECT_EQ(version("1.0-a-b.--").preRelease, (std::vector<std::string>{"a-b", "--"}));
}

TEST(VersionTest, RefusesMalformedVersions) {
  for (const char* text : {"", "v", "1.", ".1", "1..2", "1.2.3.4.5", "1.2.3-", "1.2.3+",
                           "1.2.3-rc..1", "1.2.3-r_c", "1.2.3+b_7", "vv1", "1.2a", "-1", "1.2.3 "}) {
    EXPECT_FALSE(parseVersion(text).has_value()) << '"' << text << '"';
  }
  EXPECT_FALSE(parseVersion("1" + std::string(18, '0')).has_value());  // 19 digits
  EXPECT_FALSE(parseVersion("1.0-1" + std::string(18, '0')).has_value());
  EXPECT_TRUE(parseVersion("1.0-a" + std::string(18, '0')).has_value());
  // 64 bytes pass, 65 do not, counted with the leading v.
  const std::string sixtyFour = "v1.0-" + std::string(59, 'a');
  EXPECT_TRUE(parseVersion(sixtyFour).has_value());
  EXPECT_FALSE(parseVersion(sixtyFour + "a").has_value());
}

TEST(VersionTest, OrdersPreReleasesNumbersAndComponents) {
  const std::vector<std::string> oldestFirst = {
      "1.2.3-alpha", "1.2.3-alpha.1", "1.2.3-alpha.beta", "1.2.3-beta", "1.2.3-beta.2",
      "1.2.3-beta.11", "1.2.3-rc.1", "1.2.3", "1.2.3.1", "1.10"};
  for (std::size_t i = 0; i < oldestFirst.size(); ++i) {
    for (std::size_t j = 0; j < oldestFirst.size(); ++j) {
      EXPECT_EQ(compareVersions(version(oldestFirst[i]), version(oldestFirst[j])),
                i < j ? -1 : (i > j ? 1 : 0))
          << oldestFirst[i] << " vs " << oldestFirst[j];
    }
  }
  for (const auto& [left, right, order] : {
           std::tuple{"1.2.3", "1.2.3+x", 0}, {"1.2.3", "1.2.3.0", 0}, {"1.2", "v1.2.0.0", 0},
           {"01.2", "1.2", 0}, {"1.2.3-rc.01", "1.2.3-rc.1", 0},
           {"1.2.3-RC", "1.2.3-rc", -1},  // bytewise
           {"2", "1.99.99.99", 1}, {"1.0-99", "1.0-a", -1}, {"1.0-a", "1.0-ab", -1}}) {
    EXPECT_EQ(compareVersions(version(left), version(right)), order) << left << " vs " << right;
  }
}

}  // namespace
}  // namespace loftswitch
