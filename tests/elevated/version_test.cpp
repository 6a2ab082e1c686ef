// The version order is what stops a downgrade: a fault here lets an old,
// signed package replace a newer install.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "elevated/version.h"

namespace loftswitch {
namespace {

int compare(const std::string& a, const std::string& b) {
  const auto left = parseVersion(a);
  const auto right = parseVersion(b);
  EXPECT_TRUE(left && right) << a << " / " << b;
  return left && right ? compareVersions(*left, *right) : 99;
}

TEST(VersionTest, OrdersPreReleasesNumbersAndComponentsAndIgnoresBuildMetadata) {
  const std::vector<std::string> oldestFirst = {
      "1.2.3-alpha", "1.2.3-alpha.1", "1.2.3-alpha.beta", "1.2.3-beta", "1.2.3-beta.2",
      "1.2.3-beta.11", "1.2.3-rc.1", "1.2.3", "1.2.3.1", "1.10"};
  for (std::size_t i = 0; i < oldestFirst.size(); ++i) {
    for (std::size_t j = 0; j < oldestFirst.size(); ++j) {
      EXPECT_EQ(compare(oldestFirst[i], oldestFirst[j]), i < j ? -1 : (i > j ? 1 : 0))
          << oldestFirst[i] << " vs " << oldestFirst[j];
    }
  }
  EXPECT_EQ(compare("1.2.3", "1.2.3+x"), 0);
  EXPECT_EQ(compare("1.2", "v1.2.0.0"), 0);
  EXPECT_EQ(compare("2", "1.99.99.99"), 1);
  EXPECT_EQ(compare("1.0-99", "1.0-a"), -1);
}

TEST(VersionTest, RefusesMalformedVersions) {
  for (const char* text : {"", "v", "1.", "1..2", "1.2.3.4.5", "1.2.3-", "1.2.3-rc..1",
                           "1.2.3-r_c", "1.2a", "-1", "1.2.3 ", "1000000000000000000"}) {
    EXPECT_FALSE(parseVersion(text).has_value()) << '"' << text << '"';
  }
  const std::string sixtyFour = "v1.0-" + std::string(59, 'a');
  EXPECT_TRUE(parseVersion(sixtyFour).has_value());
  EXPECT_FALSE(parseVersion(sixtyFour + "a").has_value());
}

}  // namespace
}  // namespace loftswitch
