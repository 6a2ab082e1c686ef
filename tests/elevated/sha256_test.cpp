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
  for (std::size_t length = 0; length < (3 << 20); length += length < 200 ? 1 : (1 << 20) + 7) {
    std::vector<std::uint8_t> bytes(length);
    for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
    SystemSha256 system;
    ASSERT_TRUE(system.update(bytes));
    CpuSha256 cpu;
    for (std::size_t at = 0, piece = 0; at < length; at += piece) {
      piece = std::min<std::size_t>(length - at, random() % 150);
      cpu.update(std::span(bytes).subspan(at, piece));
    }
    EXPECT_EQ(std::optional(cpu.finish()), system.finish()) << length << " bytes";
  }
}

}  // namespace
}  // namespace loftswitch
