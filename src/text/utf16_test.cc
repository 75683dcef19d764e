#include "text/utf16.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

namespace oskra::unicode {
namespace {

// What appending `utf16` to "<" gives, and whether it was valid.
std::pair<std::string, bool> to_utf8(std::u16string_view utf16) {
  std::string out = "<";
  const bool valid = append_utf16_as_utf8(utf16, out);
  return {out, valid};
}

std::u16string to_utf16(std::string_view utf8) {
  std::u16string out;
  append_utf8_as_utf16(utf8, out);
  return out;
}

TEST(Utf16, ToUtf8ReplacesEveryUnpairedSurrogate) {
  using Result = std::pair<std::string, bool>;
  EXPECT_EQ(to_utf8(u"C:\\\u6587\u4EF6"), Result("<C:\\\u6587\u4EF6", true));
  // A pair is one code point; each lone half is one U+FFFD.
  EXPECT_EQ(to_utf8(std::u16string{u'a', 0xD83D, 0xDE00, u'b'}), Result("<a\U0001F600b", true));
  EXPECT_EQ(to_utf8(std::u16string{u'a', 0xD800, u'b'}), Result("<a\uFFFDb", false));
  EXPECT_EQ(to_utf8(std::u16string{0xDC00, 0xD800}), Result("<\uFFFD\uFFFD", false));
  EXPECT_EQ(to_utf8(std::u16string{u'x', 0xDBFF}), Result("<x\uFFFD", false));
  EXPECT_EQ(to_utf8(std::u16string{0xDE00, 0xD83D}), Result("<\uFFFD\uFFFD", false));
  EXPECT_EQ(to_utf8(u""), Result("<", true));
}

TEST(Utf16, FromUtf8ReplacesEachMaximalInvalidPart) {
  EXPECT_EQ(to_utf16("D:\\\u6587 \U0001F600"),
            (std::u16string{u'D', u':', u'\\', 0x6587, u' ', 0xD83D, 0xDE00}));
  EXPECT_EQ(to_utf16("\U00010000\U0010FFFF"), (std::u16string{0xD800, 0xDC00, 0xDBFF, 0xDFFF}));
  // A truncated three-byte sequence is one U+FFFD, and the next byte stands.
  EXPECT_EQ(to_utf16("\xE2\x82"
                     "A"),
            (std::u16string{0xFFFD, u'A'}));
  // Overlong forms and encoded surrogates are invalid byte by byte.
  EXPECT_EQ(to_utf16("\xC0\xAF"), (std::u16string{0xFFFD, 0xFFFD}));
  EXPECT_EQ(to_utf16("\xED\xA0\x80"), (std::u16string{0xFFFD, 0xFFFD, 0xFFFD}));
  EXPECT_EQ(to_utf16("\xF4\x90\x80\x80"), (std::u16string(4, 0xFFFD)));
  EXPECT_EQ(to_utf16("a\xF0\x9F\x98"), (std::u16string{u'a', 0xFFFD}));
  EXPECT_EQ(to_utf16("\xFF"), (std::u16string{0xFFFD}));
  // A code point that has no UTF-16 form is written as U+FFFD.
  for (const char32_t cp : {char32_t{0xD800}, char32_t{0xDFFF}, char32_t{0x110000}}) {
    const Utf16Units u = encode_utf16(cp);
    EXPECT_EQ(u.size, 1u);
    EXPECT_EQ(u.units[0], 0xFFFD);
  }
}

}  // namespace
}  // namespace oskra::unicode
