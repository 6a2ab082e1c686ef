#include <gtest/gtest.h>

#include "base/text.h"

namespace loftswitch {
namespace {

TEST(TextTest, ValidUtf8AcceptsEveryWellFormedLengthAndRejectsTheRest) {
  // U+0080, U+0800, U+D7FF (just below the surrogates), U+10000, U+10FFFF.
  for (const char* good : {"", "plain", "\xC2\x80", "\xE0\xA0\x80", "\xED\x9F\xBF",
                           "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"}) {
    EXPECT_TRUE(isValidUtf8(good)) << good;
  }
  // Overlong forms, a surrogate, above U+10FFFF, stray and cut sequences.
  for (const char* bad : {"\xC0\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF",
                          "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\x80",
                          "a\xE2\x82", "\xE2\x28\xA1"}) {
    EXPECT_FALSE(isValidUtf8(bad)) << bad;
  }
}

}  // namespace
}  // namespace loftswitch
