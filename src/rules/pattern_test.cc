#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "rules/rules.h"
#include "support/wildcard_reference.h"
#include "text/unicode.h"

namespace oskra {
namespace {

using reference::reference_match;

TEST(Normalize, TrimsTurnsSlashesAndDropsTrailingSeparators) {
  EXPECT_EQ(normalize("  C:/Windows/  "), "C:\\Windows");
  EXPECT_EQ(normalize("C:\\"), "C:");
  EXPECT_EQ(normalize("\\"), "");
  EXPECT_EQ(normalize("/"), "");
  EXPECT_EQ(normalize("\\\\//\\"), "");
  EXPECT_EQ(normalize(" \t\r\n"), "");
  EXPECT_EQ(normalize(""), "");
  // Every White_Space character counts, multi-byte ones too; inner ones stay.
  EXPECT_EQ(normalize("\xE3\x80\x80\xC2\xA0"
                      "a b\xE2\x80\xAF\xC2\x85"),
            "a b");
  EXPECT_EQ(normalize("\xE2\x80\x8B"
                      "a"),
            "\xE2\x80\x8B"
            "a");  // U+200B is not White_Space
  // Trimming comes before stripping separators: this blank survives.
  EXPECT_EQ(normalize("C:\\Temp \\"), "C:\\Temp ");
  EXPECT_EQ(normalize("\\\\?\\C:\\Windows\\"), "\\\\?\\C:\\Windows");
  EXPECT_EQ(normalize("C:\\a\\\\b\\.\\..\\c"), "C:\\a\\\\b\\.\\..\\c");
  EXPECT_EQ(normalize("C:\\WiNdOwS\\\xC3\x89t\xC3\xA9"), "C:\\WiNdOwS\\\xC3\x89t\xC3\xA9");
  // Ill-formed bytes are not blanks and stay as they are.
  EXPECT_EQ(normalize(" \xFF "), "\xFF");
}

// Trimming written the obvious way: decode everything from the front.
std::string reference_normalize(std::string_view text) {
  std::size_t begin = text.size();
  std::size_t end = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const unicode::Decoded d = unicode::decode(text, pos);
    if (!unicode::is_white_space(d.code_point)) {
      if (begin == text.size()) begin = pos;
      end = pos + d.length;
    }
    pos += d.length;
  }
  if (begin >= end) return {};
  std::string out(text.substr(begin, end - begin));
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  while (!out.empty() && out.back() == '\\') out.pop_back();
  return out;
}

// The ends are trimmed from both sides; ill-formed bytes and stray
// continuation bytes next to blanks must not change where they stop.
TEST(Normalize, AgreesWithAFrontToBackReference) {
  const std::vector<std::string> atoms = {
      " ",
      "\t",
      "\\",
      "/",
      "a",
      "\xC2\xA0",
      "\xC2\x85",
      "\xE3\x80\x80",
      "\xE2\x80\x8A",
      "\xE2\x80\xAF",
      "\xE1\x9A\x80",
      "\x80",
      "\xA0",
      "\xC2",
      "\xE3\x80",
      "\xF0\x9F\x98",
      "\xF0\x9F\x98\x80",
      "\xFF",
      "\xE2\x80\x8B",
  };
  std::mt19937 rng(99);
  for (int round = 0; round < 50000; ++round) {
    std::string text;
    for (int k = std::uniform_int_distribution<int>(0, 6)(rng); k > 0; --k) {
      text += atoms[std::uniform_int_distribution<std::size_t>(0, atoms.size() - 1)(rng)];
    }
    ASSERT_EQ(normalize(text), reference_normalize(text)) << text;
  }
}

TEST(WildcardMatch, StarAndQuestionMarkStayInsideOneComponent) {
  EXPECT_TRUE(wildcard_match("", ""));
  EXPECT_FALSE(wildcard_match("", "a"));
  EXPECT_TRUE(wildcard_match("*", ""));
  EXPECT_TRUE(wildcard_match("*", "anything at all"));
  EXPECT_FALSE(wildcard_match("*", "a\\b"));
  EXPECT_TRUE(wildcard_match("*\\*", "a\\b"));
  EXPECT_FALSE(wildcard_match("?", ""));
  EXPECT_FALSE(wildcard_match("?", "\\"));
  EXPECT_FALSE(wildcard_match("?", "xy"));
  EXPECT_FALSE(wildcard_match("a*", "a\\"));
  EXPECT_TRUE(wildcard_match("a*\\", "a\\"));
  EXPECT_TRUE(wildcard_match("thumbcache_*", "THUMBCACHE_32.DB"));
  EXPECT_TRUE(wildcard_match("*b*b", "abcbxb"));
  EXPECT_FALSE(wildcard_match("*b*b", "abcbx"));
  // No escapes: a backslash in the pattern is only a separator.
  EXPECT_FALSE(wildcard_match("\\*", "*"));
}

TEST(WildcardMatch, IgnoresCaseInTheFullUnicodeSense) {
  EXPECT_TRUE(wildcard_match("\xC3\x89t\xC3\xA9*", "\xC3\xA9t\xC3\xA9 2024"));  // É vs é
  EXPECT_TRUE(wildcard_match("*\xD0\x90", "\xD0\xB0"));                         // Cyrillic А
  EXPECT_TRUE(wildcard_match("\xE2\x84\xAA*", "k1"));                           // Kelvin sign
  // İ lower-cases to two code points, i and U+0307, and "?" takes one.
  EXPECT_FALSE(wildcard_match("?", "\xC4\xB0"));
  EXPECT_TRUE(wildcard_match("??", "\xC4\xB0"));
  EXPECT_TRUE(wildcard_match("\xC4\xB0*", "i\xCC\x87x"));
  EXPECT_FALSE(wildcard_match("\xC4\xB0", "i"));
  // No language-specific mapping: I is always i, never dotless.
  EXPECT_FALSE(wildcard_match("I*", "\xC4\xB1"));
  // Σ has no final form here, so both sides agree whatever the position.
  EXPECT_TRUE(wildcard_match("*\xCE\xA3", "\xCE\xBF\xCF\x83"));
  EXPECT_FALSE(wildcard_match("*\xCE\xA3", "\xCE\xBF\xCF\x82"));
  // Ill-formed bytes count as one U+FFFD per maximal subpart.
  EXPECT_TRUE(wildcard_match("?", "\xFF"));
  EXPECT_TRUE(wildcard_match("?", "\xE2\x82"));
  EXPECT_TRUE(wildcard_match("??", "\xC0\xAF"));
  EXPECT_TRUE(wildcard_match("a\xEF\xBF\xBD", "A\xFF"));
}

// Random pairs over an alphabet with metacharacters, separators, mixed
// case, non-ASCII letters, expanding İ and ill-formed bytes. Half the texts
// are made from their pattern, so matches are common too.
TEST(WildcardMatch, AgreesWithTheReferenceRecursion) {
  const std::vector<std::string> pattern_atoms = {"*",
                                                  "*",
                                                  "*",
                                                  "?",
                                                  "?",
                                                  "\\",
                                                  "a",
                                                  "A",
                                                  "b",
                                                  "i",
                                                  "I",
                                                  ".",
                                                  "\xC4\xB0",
                                                  "\xCC\x87",
                                                  "\xC3\xA9",
                                                  "\xC3\x89",
                                                  "\xE2\x84\xAA",
                                                  "k",
                                                  ":",
                                                  "\xFF",
                                                  "\xE4\xB8\xAD"};
  const std::vector<std::string> text_atoms = {"a",        "A",
                                               "b",        "B",
                                               "\\",       "i",
                                               "I",        "\xC4\xB0",
                                               "\xCC\x87", "\xC3\xA9",
                                               "\xC3\x89", "k",
                                               "K",        "\xE2\x84\xAA",
                                               ":",        "*",
                                               "?",        "\xFF",
                                               "\xE2\x82", "\xE4\xB8\xAD",
                                               "."};
  std::mt19937 rng(20240611);
  const auto pick = [&](const std::vector<std::string>& atoms) {
    return atoms[std::uniform_int_distribution<std::size_t>(0, atoms.size() - 1)(rng)];
  };
  const auto length = [&](int max) { return std::uniform_int_distribution<int>(0, max)(rng); };

  std::size_t matches = 0;
  constexpr int ROUNDS = 60000;
  for (int round = 0; round < ROUNDS; ++round) {
    std::string pattern;
    for (int k = length(7); k > 0; --k) pattern += pick(pattern_atoms);
    std::string text;
    if (round % 2 == 0) {
      for (int k = length(9); k > 0; --k) text += pick(text_atoms);
    } else {
      // Instantiate the pattern: runs for stars, one character per "?".
      for (std::size_t k = 0; k < pattern.size(); ++k) {
        if (pattern[k] == '*') {
          for (int n = length(3); n > 0; --n) text += pick(text_atoms);
        } else if (pattern[k] == '?') {
          text += pick(text_atoms);
        } else {
          text += pattern[k];
        }
      }
      if (length(4) == 0) text += pick(text_atoms);
    }
    const bool expected = reference_match(pattern, text);
    ASSERT_EQ(wildcard_match(pattern, text), expected)
        << "pattern: " << pattern << "\ntext: " << text;
    if (expected) ++matches;
  }
  // Both outcomes must be well represented for the comparison to mean much.
  EXPECT_GT(matches, static_cast<std::size_t>(ROUNDS / 10));
  EXPECT_LT(matches, static_cast<std::size_t>(ROUNDS * 9 / 10));
}

// Inputs that would take the recursive form exponential time or a stack
// frame per character: only the real matcher runs here.
TEST(WildcardMatch, ManyStarsAndLongTextsStayCheap) {
  std::string stars;
  for (int k = 0; k < 40; ++k) stars += "*a";
  const std::string long_name(200000, 'a');
  EXPECT_FALSE(wildcard_match(stars + "*b", long_name));
  EXPECT_TRUE(wildcard_match(stars + "*b", long_name + "b"));
  EXPECT_TRUE(wildcard_match(stars, long_name));

  // A very deep path: one million characters, many components.
  std::string deep;
  std::string deep_pattern;
  for (int k = 0; k < 100000; ++k) {
    deep += "Dir" + std::to_string(k % 10) + "\\";
    deep_pattern += "*\\";
  }
  deep += "leaf";
  EXPECT_TRUE(wildcard_match(deep_pattern + "*", deep));
  EXPECT_FALSE(wildcard_match(deep_pattern + "*\\*", deep));
  EXPECT_TRUE(wildcard_match(deep_pattern + "L?af", deep));
}

TEST(MatchScore, LiteralPathCoversTheEntryAndEverythingBelow) {
  EXPECT_EQ(match_score("?:\\Windows", "D:\\windows\\System32"), 10u);
  EXPECT_EQ(match_score("?:\\Windows", "C:\\WindowsApps"), 0u);
  EXPECT_EQ(match_score("?:\\Windows", "C:\\"), 0u);
  EXPECT_EQ(match_score("?:\\Windows", "\\\\server\\share\\Windows"), 0u);
  EXPECT_EQ(match_score("?:\\Windows", "\\\\?\\C:\\Windows"), 0u);
  EXPECT_EQ(match_score("?:\\Windows", "C:/Windows/Temp/"), 10u);
  EXPECT_EQ(match_score("?:\\Windows\\", "C:\\Windows"), 10u);
  EXPECT_EQ(match_score("C:\\Data", "c:\\data\\x"), 7u);
  EXPECT_EQ(match_score("C:\\Data", "D:\\Data"), 0u);
  EXPECT_EQ(match_score("\\\\server\\share", "\\\\SERVER\\share\\x"), 14u);
  // ASCII-only case folding for literal patterns.
  EXPECT_EQ(match_score("?:\\\xC3\x89t\xC3\xA9", "C:\\\xC3\xA9t\xC3\xA9"), 0u);
  EXPECT_EQ(match_score("?:\\\xC3\x89t\xC3\xA9", "c:\\\xC3\x89T\xC3\xA9\\x"), 8u);
  // A blank before a trailing separator survives normalisation.
  EXPECT_EQ(match_score("?:\\Temp \\", "C:\\Temp"), 0u);
  EXPECT_EQ(match_score("?:\\Temp \\", "C:\\Temp \\x"), 8u);
}

TEST(MatchScore, LiteralNameComparesTheLastComponent) {
  EXPECT_EQ(match_score("Temp", "C:\\Users\\a\\AppData\\Local\\Temp"), 4u);
  EXPECT_EQ(match_score("Temp", "C:\\Temp\\x"), 0u);
  EXPECT_EQ(match_score("Temp", "C:\\TEMP"), 4u);
  EXPECT_EQ(match_score("Temp", "C:\\Temps"), 0u);
  EXPECT_EQ(match_score(" Temp/", "C:\\temp\\"), 4u);
  EXPECT_EQ(match_score("\xC3\x89T\xC3\x89", "C:\\\xC3\xA9t\xC3\xA9"), 0u);
  EXPECT_EQ(match_score("\xC3\x89T\xC3\x89", "C:\\\xC3\x89t\xC3\x89"), 5u);
  // Three CJK characters: nine bytes.
  EXPECT_EQ(match_score("\xE7\xBC\x93\xE5\xAD\x98\xE5\x8C\xBA",
                        "D:\\\xE7\xBC\x93\xE5\xAD\x98\xE5\x8C\xBA"),
            9u);
}

TEST(MatchScore, WildcardClassesAndDriveWildcard) {
  EXPECT_EQ(match_score("thumbcache_*", "C:\\x\\THUMBCACHE_32.db"), 12u);
  EXPECT_EQ(match_score("thumbcache_*", "C:\\thumbcache_32.db\\x"), 0u);
  EXPECT_EQ(match_score("?", "C:\\a\\b"), 1u);
  EXPECT_EQ(match_score("*", "C:\\a\\b"), 1u);
  EXPECT_EQ(match_score("*", "C:\\"), 1u);  // the last component of "C:" is "C:"
  const std::string_view pip = "?:\\Users\\*\\AppData\\Local\\pip\\cache";
  EXPECT_EQ(match_score(pip, "C:\\Users\\bob\\AppData\\Local\\pip\\cache"), 34u);
  EXPECT_EQ(match_score(pip, "c:\\users\\BOB\\appdata\\local\\PIP\\CACHE"), 34u);
  EXPECT_EQ(match_score(pip, "C:\\Users\\bob\\AppData\\Local\\pip\\cache\\wheels"), 0u);
  EXPECT_EQ(match_score("?:\\Users\\*\\.m2\\repository", "C:\\Users\\a\\b\\.m2\\repository"), 0u);
  EXPECT_EQ(match_score("?:\\Users\\*\\.m2\\repository", "C:\\Users\\a\\.m2\\repository"), 25u);
  // Non-ASCII case differences are ignored on the wildcard side.
  EXPECT_EQ(match_score("?:\\\xC3\x89*\\x", "C:\\\xC3\xA9t\xC3\xA9\\X"), 8u);
  // "?:" alone is a literal name pattern that meets the substituted root.
  EXPECT_EQ(match_score("?:", "C:\\"), 2u);
  EXPECT_EQ(match_score("?:", "C:\\Windows"), 0u);
  EXPECT_EQ(match_score("?:", "\\\\server\\share"), 0u);
  // A later "?:" is a question mark and a colon.
  EXPECT_EQ(match_score("?:\\x?:", "C:\\xa:"), 6u);
  EXPECT_EQ(match_score("?:\\x?:", "C:\\xa"), 0u);
  EXPECT_EQ(match_score("x?:", "C:\\xy:"), 3u);
  // Only the part after a leading "?:" decides the class.
  EXPECT_EQ(match_score("?:\\Windows", "C:\\Windows"), 10u);
  EXPECT_EQ(match_score("?:\\Windows", "?:\\Windows"), 10u);
}

TEST(MatchScore, EmptyPatternsNeverMatchAndScoresUseTheNormalisedLength) {
  for (const std::string_view pattern : {"", "   ", "\\", "//\\", "\xE3\x80\x80"}) {
    EXPECT_EQ(match_score(pattern, ""), 0u);
    EXPECT_EQ(match_score(pattern, "C:\\"), 0u);
    EXPECT_EQ(match_score(pattern, "C:\\Windows"), 0u);
  }
  EXPECT_EQ(match_score(" ?:/Windows/ ", "C:\\Windows\\System32"), 10u);
  EXPECT_EQ(match_score("\tTemp\t", "C:\\Temp"), 4u);
}

}  // namespace
}  // namespace oskra
