#include <gtest/gtest.h>
#include "base/text.h"
using namespace loftswitch;
TEST(TextTest, ToHexWritesTwoLowerCaseDigitsPerByte) {
  const std::uint8_t bytes[] = {0x00, 0xAB, 0xFF};
  EXPECT_EQ(toHex(bytes), "00abff");
}
