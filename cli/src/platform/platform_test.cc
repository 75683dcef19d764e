// Tests of the platform layer that hold on every platform.
#include "platform/platform.h"

#include <gtest/gtest.h>

namespace oskra::platform {
namespace {

TEST(Platform, LossyConversionReplacesEachMaximalInvalidSequence) {
#ifndef _WIN32
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
#endif
}

TEST(Platform, EntryNameAndListingPath) {
#ifdef _WIN32
  EXPECT_EQ(entry_name(L"\\\\?\\C:\\"), "");
  EXPECT_EQ(entry_name(L"\\\\?\\C:\\Users\\a"), "a");
  EXPECT_EQ(listing_path(L"\\\\?\\C:\\"), L"\\\\?\\C:");
#else
  EXPECT_EQ(entry_name("/"), "");
  EXPECT_EQ(entry_name("/home/a"), "a");
  EXPECT_EQ(entry_name("/home/a/"), "a");
  EXPECT_EQ(listing_path("/"), "");
  EXPECT_EQ(listing_path("/home/a//"), "/home/a");
#endif
}

TEST(Platform, ArgumentsMustBeValidText) {
#ifndef _WIN32
  std::string bad;
  char prog[] = "oskra-cli", ok[] = "\xE4\xB8\xAD", broken[] = "x\xFF";
  char* good_argv[] = {prog, ok, nullptr};
  const auto good = arguments(2, good_argv, bad);
  ASSERT_TRUE(good.has_value());
  EXPECT_EQ(*good, std::vector<std::string>{"\xE4\xB8\xAD"});
  char* bad_argv[] = {prog, ok, broken, nullptr};
  EXPECT_FALSE(arguments(3, bad_argv, bad).has_value());
  EXPECT_EQ(bad, "x\xEF\xBF\xBD");
#endif
}

}  // namespace
}  // namespace oskra::platform
