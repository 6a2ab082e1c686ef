#include "elevated/sha256.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "elevated/sha256_cpu.h"
#include "elevated/sha256_system.h"

namespace loftswitch {
namespace {

// The processor's instructions against the system's provider: every length
// around the block and padding edges, and a few megabytes, each fed in
// random pieces so that buffered and whole-block input meet at every offset.
TEST(Sha256Test, TheProcessorsPathAgreesWithTheSystemsProvider) {
  if (!CpuSha256::available()) GTEST_SKIP() << "this processor has no SHA instructions";
  std::mt19937_64 random(20261207);
  std::vector<std::size_t> lengths;
  for (std::size_t length = 0; length <= 200; ++length) lengths.push_back(length);
  for (std::size_t length : {4096u, 65535u, 3u << 20}) lengths.push_back(length);
  for (const std::size_t length : lengths) {
    std::vector<std::uint8_t> bytes(length);
    for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
    SystemSha256 system;
    ASSERT_TRUE(system.update(bytes));
    const std::optional<Sha256Digest> expected = system.finish();
    ASSERT_TRUE(expected.has_value());
    CpuSha256 cpu;
    for (std::span<const std::uint8_t> rest(bytes); !rest.empty();) {
      const std::size_t piece = std::min<std::size_t>(rest.size(), random() % 150);
      cpu.update(rest.first(piece));
      rest = rest.subspan(piece);
    }
    EXPECT_EQ(cpu.finish(), *expected) << length << " bytes";
  }
}

TEST(Sha256Test, AFinishedHashGivesNothingMore) {
  Sha256 hash;
  hash.update(std::string_view("abc"));
  EXPECT_EQ(hash.finish(), Sha256::digest(std::string_view("abc")));
  EXPECT_FALSE(hash.failed());
  hash.update(std::string_view("d"));
  EXPECT_EQ(hash.finish(), Sha256Digest{});
  EXPECT_TRUE(hash.failed());
}

}  // namespace
}  // namespace loftswitch
