// The Linux realisation of the platform layer (win32_test.cc tests the
// Windows one).
#include <gtest/gtest.h>

#include "platform/platform.h"

namespace oskra::platform {
namespace {

TEST(LinuxText, LossyConversionReplacesEachMaximalInvalidSequence) {
  EXPECT_EQ(to_utf8_lossy("abc"), "abc");
  EXPECT_EQ(to_utf8_lossy("\xE4\xB8\xAD"), "\xE4\xB8\xAD");
  EXPECT_EQ(to_utf8_lossy("a\xFF"
                          "b"),
            "a\xEF\xBF\xBD"
            "b");
  // A truncated sequence is one maximal invalid subpart.
  EXPECT_EQ(to_utf8_lossy("\xE4\xB8"), "\xEF\xBF\xBD");
  // Overlong forms, surrogates and values past U+10FFFF are invalid byte by byte.
  EXPECT_EQ(to_utf8_lossy("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(to_utf8_lossy("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(to_utf8_lossy("\xF4\x90\x80\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(to_utf8_lossy("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
}

TEST(LinuxPaths, EntryNameAndListingPath) {
  EXPECT_EQ(entry_name("/"), "");
  EXPECT_EQ(entry_name("/home/a"), "a");
  EXPECT_EQ(entry_name("/home/a/"), "a");
  EXPECT_EQ(listing_path("/"), "");
  EXPECT_EQ(listing_path("/home/a//"), "/home/a");
}

TEST(LinuxArgs, ArgumentsMustBeValidText) {
  std::string bad;
  char prog[] = "oskra-cli", ok[] = "\xE4\xB8\xAD", broken[] = "x\xFF";
  char* good_argv[] = {prog, ok, nullptr};
  const auto good = arguments(2, good_argv, bad);
  ASSERT_TRUE(good.has_value());
  EXPECT_EQ(*good, std::vector<std::string>{"\xE4\xB8\xAD"});
  char* bad_argv[] = {prog, ok, broken, nullptr};
  EXPECT_FALSE(arguments(3, bad_argv, bad).has_value());
  EXPECT_EQ(bad, "x\xEF\xBF\xBD");
}

}  // namespace
}  // namespace oskra::platform
