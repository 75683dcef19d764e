#include "text/unicode.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace oskra::unicode {
namespace {

std::u32string decode_all(std::string_view text) {
  std::u32string out;
  for (std::size_t pos = 0; pos < text.size();) {
    const Decoded d = decode(text, pos);
    EXPECT_GE(d.length, 1u);
    out.push_back(d.code_point);
    pos += d.length;
  }
  return out;
}

std::u32string lower_all(std::string_view text) {
  std::u32string out;
  append_lower_full(text, out);
  return out;
}

constexpr char32_t FFFD = REPLACEMENT_CHARACTER;

TEST(Utf8, EachMaximalIllFormedSubpartBecomesOneReplacement) {
  EXPECT_EQ(decode_all("a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xEF\xBF\xBD"),
            U"a\u00E9\u4E2D\U0001F600\uFFFD");
  EXPECT_EQ(decode_all("a\xFF\x80"
                       "b"),
            (std::u32string{U'a', FFFD, FFFD, U'b'}));
  // Overlong forms, surrogates and values past U+10FFFF: each byte alone.
  EXPECT_EQ(decode_all("\xC0\xAF"), std::u32string(2, FFFD));
  EXPECT_EQ(decode_all("\xE0\x80\x80"), std::u32string(3, FFFD));
  EXPECT_EQ(decode_all("\xED\xA0\x80"), std::u32string(3, FFFD));
  EXPECT_EQ(decode_all("\xF4\x90\x80\x80"), std::u32string(4, FFFD));
  // A truncated sequence is one unit, and the next character survives.
  EXPECT_EQ(decode_all("\xF0\x9F\x98"
                       "A"),
            (std::u32string{FFFD, U'A'}));
  EXPECT_EQ(decode_all("\xE2\xC3\xA9"), (std::u32string{FFFD, U'\u00E9'}));
}

TEST(Utf8, ValidationAndEncoding) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("C:\\Users\\\xE5\xBC\xA0\xE4\xB8\x89"));
  EXPECT_TRUE(is_valid_utf8("\xEF\xBF\xBD"));  // U+FFFD itself is a character
  EXPECT_FALSE(is_valid_utf8("ok\xC3"));
  EXPECT_FALSE(is_valid_utf8("\xF0\x9F\x98"));  // three-byte subpart of a four-byte form
  EXPECT_FALSE(is_valid_utf8("\xED\xB0\x80"));  // a low surrogate

  std::string bytes;
  for (const char32_t cp : {U'A', U'\u07FF', U'\uFFFF', U'\U0010FFFF'}) append_utf8(cp, bytes);
  EXPECT_EQ(decode_all(bytes), U"A\u07FF\uFFFF\U0010FFFF");
  bytes.clear();
  append_utf8(0xD800, bytes);
  append_utf8(0x110000, bytes);
  EXPECT_EQ(bytes, "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(LowerCase, FullDefaultMapping) {
  const auto single = [](char32_t cp) {
    const LowerCase l = to_lower_full(cp);
    EXPECT_EQ(l.size, 1u) << std::hex << static_cast<unsigned>(cp);
    return l.code_points[0];
  };
  EXPECT_EQ(single(U'A'), U'a');
  EXPECT_EQ(single(U'\u00C9'), U'\u00E9');          // É
  EXPECT_EQ(single(U'\u00DF'), U'\u00DF');          // ß has no lower-case change
  EXPECT_EQ(single(U'\u1E9E'), U'\u00DF');          // capital sharp s
  EXPECT_EQ(single(U'\u212A'), U'k');               // Kelvin sign
  EXPECT_EQ(single(U'\u03A3'), U'\u03C3');          // Σ: never the final form ς
  EXPECT_EQ(single(U'\u0100'), U'\u0101');          // alternating runs...
  EXPECT_EQ(single(U'\u0101'), U'\u0101');          // ...leave the small letters alone
  EXPECT_EQ(single(U'\u0049'), U'i');               // I: no Turkish dotless i
  EXPECT_EQ(single(U'\U00010400'), U'\U00010428');  // Deseret, beyond the BMP

  const LowerCase dotted = to_lower_full(U'\u0130');  // İ expands to two
  ASSERT_EQ(dotted.size, 2u);
  EXPECT_EQ(dotted.code_points[0], U'i');
  EXPECT_EQ(dotted.code_points[1], U'\u0307');

  EXPECT_EQ(lower_all("\xC3\x80"
                      "B\xFF\xC4\xB0"),
            (std::u32string{U'\u00E0', U'b', FFFD, U'i', U'\u0307'}));
}

TEST(LowerCase, WholeRangeKeepsTheCharactersTheMatcherReliesOn) {
  std::size_t changed = 0;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    const LowerCase l = to_lower_full(cp);
    ASSERT_GE(l.size, 1u);
    if (l.size != 1 || l.code_points[0] != cp) ++changed;
    for (std::size_t k = 0; k < l.size; ++k) {
      const char32_t out = l.code_points[k];
      if (out == U'\\' || out == U'*' || out == U'?' || out == U':') {
        ASSERT_EQ(cp, out) << "U+" << std::hex << static_cast<unsigned>(cp);
      }
      ASSERT_LE(out, 0x10FFFFu);
    }
  }
  // UnicodeData.txt (15.0) gives 1433 characters a lower-case mapping.
  EXPECT_EQ(changed, 1433u);
}

TEST(WhiteSpace, ExactlyThePropertySet) {
  const auto listed = [](char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
  };
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    ASSERT_EQ(is_white_space(cp), listed(cp)) << std::hex << static_cast<unsigned>(cp);
  }
}

}  // namespace
}  // namespace oskra::unicode
