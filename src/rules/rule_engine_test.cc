#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "rules/compiled_rules.h"
#include "rules/rules.h"
#include "support/plain_evaluate.h"
#include "support/print_mark.h"

namespace oskra {
namespace {

Rule rule(std::string_view pattern, State state, std::string_view reason = "r",
          std::string_view action = "a") {
  return Rule{std::string(pattern), state, std::string(reason), std::string(action)};
}

// A verdict's reason or source, or "(none)": a missing verdict fails the
// comparison instead of being dereferenced.
std::string reason_of(const RuleEngine& engine, std::string_view path) {
  const Mark* m = engine.evaluate(path);
  return std::string(m != nullptr ? m->reason : "(none)");
}
std::string_view source_of(const RuleEngine& engine, std::string_view path) {
  const Mark* m = engine.evaluate(path);
  return m != nullptr ? m->source : "(none)";
}

TEST(RuleEngine, UserRulesComeFirstAndTiesKeepTheEarlierRule) {
  const RuleEngine engine({
      rule("?:\\Windows\\Temp", State::red, "mine", "keep"),  // same text as a built-in
      rule("D:\\ab", State::green, "first"),
      rule("D:\\?b", State::red, "second"),  // same length, later
      rule("  D:/Games/  ", State::red, "games"),
      rule("   ", State::green, "blank"),
      rule("\\\\", State::green, "separators"),
      rule("*", State::green, "anything"),
  });

  const Mark* temp = engine.evaluate("C:\\Windows\\Temp\\x");
  ASSERT_NE(temp, nullptr);
  EXPECT_EQ(*temp, (Mark{State::red, "?:\\Windows\\Temp", SOURCE_USER, "mine", "keep"}));

  const Mark* ab = engine.evaluate("D:\\ab");
  ASSERT_NE(ab, nullptr);
  EXPECT_EQ(ab->reason, "first");
  EXPECT_EQ(ab->state, State::green);
  EXPECT_EQ(reason_of(engine, "D:\\xb"), "second");
  EXPECT_EQ(reason_of(engine, "D:\\xb\\y"), "anything");  // wildcard paths are anchored

  // Written with slashes and blanks, matched like "D:\Games", reported as written.
  const Mark* games = engine.evaluate("d:\\games\\x\\y");
  ASSERT_NE(games, nullptr);
  EXPECT_EQ(games->pattern, "  D:/Games/  ");
  EXPECT_EQ(games->source, SOURCE_USER);

  // "*" scores 1: it decides only what nothing else matches.
  const Mark* other = engine.evaluate("E:\\music\\a.mp3");
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->reason, "anything");
  EXPECT_EQ(reason_of(engine, "E:\\x\\cache"), "rule.reason.cacheDir");
  EXPECT_EQ(source_of(engine, "E:\\x\\cache"), SOURCE_BUILTIN);
  EXPECT_EQ(reason_of(engine, "C:\\Windows\\System32"), "rule.reason.systemDir");

  // Patterns that normalise to nothing never match, even an empty path.
  const RuleEngine blank({rule(" ", State::green), rule("/", State::green)});
  EXPECT_FALSE(blank.evaluate(""));
  EXPECT_FALSE(blank.evaluate("E:\\music"));
}

TEST(RuleEngine, StateDoesNotTakePartInTheChoice) {
  const RuleEngine engine({rule("cache", State::red, "red cache")});
  const Mark* mark = engine.evaluate("C:\\Windows\\System32\\config\\cache");
  ASSERT_NE(mark, nullptr);
  EXPECT_EQ(mark->reason, "rule.reason.systemDir");  // longer pattern, whatever its colour
  EXPECT_EQ(reason_of(engine, "E:\\x\\CACHE"), "red cache");
  EXPECT_FALSE(engine.evaluate("E:\\x\\caches"));
}

TEST(RuleEngine, LoadsTheTextOfARulesFile) {
  // Members in any order, with others between them; the same name again
  // later loses every tie.
  const RuleEngine engine = RuleEngine::from_rules_json(
      R"([{"pattern": "E:\\Media", "state": "green", "reason": "rr", "action": "aa"},
          ["E:/Media/Keep", "red", "r2", "a2"],
          {"action": "a3", "note": [{"x": "y"}], "reason": "r\u00e93", "state": "red",
           "pattern": " Thumbs.db "},
          ["thumbs.DB", "green", "later", "later"]])");
  EXPECT_EQ(as_optional(engine.evaluate("e:\\media\\x")),
            (Mark{State::green, "E:\\Media", SOURCE_USER, "rr", "aa"}));
  EXPECT_EQ(as_optional(engine.evaluate("E:\\Media\\Keep\\x")),
            (Mark{State::red, "E:/Media/Keep", SOURCE_USER, "r2", "a2"}));
  EXPECT_EQ(as_optional(engine.evaluate("E:\\x\\THUMBS.db")),
            (Mark{State::red, " Thumbs.db ", SOURCE_USER,
                  "r\xC3\xA9"
                  "3",
                  "a3"}));

  // Copies and moves keep the rules working.
  RuleEngine copy = engine;
  RuleEngine moved = std::move(copy);
  EXPECT_EQ(reason_of(moved, "E:\\Media\\Keep"), "r2");

  std::string one_bad_row = "[";
  for (int k = 0; k < 10; ++k) one_bad_row += R"(["E:\\Media", "green", "r", "a"], )";
  one_bad_row += R"(["E:\\Other", "Green", "r", "a"]])";
  const std::string bad_files[] = {
      "\xEF\xBB\xBF[[\"E:\\\\Media\", \"green\", \"r\", \"a\"]]",  // byte-order mark
      one_bad_row,
      R"([{"pattern": "E:\\Media", "state": "green", "reason": "r", "action": "a"},
          {"pattern": "E:\\Other", "state": "green", "reason": "r"}])",  // no action
      "[[\"E:\\\\M\xE9\x64ia\", \"green\", \"r\", \"a\"]]",              // not UTF-8
      "[]",
      "",
  };
  for (const std::string& text : bad_files) {
    const RuleEngine without = RuleEngine::from_rules_json(text);
    EXPECT_FALSE(without.evaluate("E:\\Media")) << text;
    EXPECT_EQ(source_of(without, "C:\\Windows"), SOURCE_BUILTIN);
  }
}

// Pieces that reach the corners: drive letters and "?:", separators of
// both kinds, blanks, metacharacters, ASCII and non-ASCII case, İ, CJK,
// ill-formed bytes, the verbatim prefix, a backslash before a colon, and
// the Kelvin sign, which lower-cases to an ASCII "k".
const std::vector<std::string> PATTERN_PIECES = {
    "?:",   "?:",   "C:",   "\\",           "\\",           "/",        " ",        "*",        "*",
    "?",    "Temp", "temp", "cache",        "Windows",      "\xC4\xB0", "\xC3\xA9", "\xC3\x89", ":",
    "\xFF", "a",    "x",    "\xE7\xBC\x93", "\xE2\x84\xAA", "K"};
const std::vector<std::string> PATH_PIECES = {
    "C:",    "c:",      "D:",       "\\",        "\\",       "\\",           "/", "Temp", "TEMP",
    "cache", "Windows", "\xC4\xB0", "i\xCC\x87", "\xC3\xA9", "\xC3\x89",     " ", "\xFF", "?",
    ":",     "a",       "x",        "\\\\?\\",   "\xC3",     "\xE7\xBC\x93", "*", "k"};
// Short names on both sides, where one character more or less decides.
const std::vector<std::string> NAME_PIECES = {
    "*", "?", "a", "K", "x", "\xC3\xA9", "\xC3\x89", "\xE2\x84\xAA", "\xFF", "\xE7\xBC\x93"};
// All-ASCII paths take a byte-wise route of their own.
const std::vector<std::string> ASCII_PATH_PIECES = {
    "C:", "d:", "\\", "\\", "/", " ", "Temp", "TEMP", "cache", "Windows", "?", ":", "a", "K", "*"};

std::string random_text(std::mt19937& rng, const std::vector<std::string>& pieces, int max) {
  std::string out;
  for (int k = std::uniform_int_distribution<int>(0, max)(rng); k > 0; --k) {
    out += pieces[std::uniform_int_distribution<std::size_t>(0, pieces.size() - 1)(rng)];
  }
  return out;
}

TEST(RuleEngine, CompiledScoresEqualMatchScore) {
  std::mt19937 rng(7);
  std::vector<std::string> patterns;
  for (const Rule& r : BUILTIN_RULES) patterns.push_back(r.pattern);
  for (int k = 0; k < 400; ++k) patterns.push_back(random_text(rng, PATTERN_PIECES, 6));
  std::vector<std::string> paths = {"",
                                    "C:\\",
                                    "C:",
                                    "\\:x",
                                    "\\:",
                                    "\xC3:\\x",
                                    "?:\\Windows",
                                    "\\\\?\\C:\\Windows",
                                    "C:\\Windows\\Temp",
                                    "C:\\Users\\bob\\AppData\\Local\\pip\\cache"};
  for (int k = 0; k < 400; ++k) paths.push_back(random_text(rng, PATH_PIECES, 8));
  for (int k = 0; k < 400; ++k) paths.push_back(random_text(rng, ASCII_PATH_PIECES, 8));
  // Short names under ASCII and non-ASCII parents, against short name
  // patterns.
  for (int k = 0; k < 200; ++k) patterns.push_back(random_text(rng, NAME_PIECES, 3));
  for (int k = 0; k < 400; ++k) {
    paths.push_back(random_text(rng, PATH_PIECES, 4) + "\\" + random_text(rng, NAME_PIECES, 3));
  }
  // Longer than the prepared path's own buffer.
  paths.push_back("C:\\" + std::string(600, 'a') + "\\Temp");

  std::vector<detail::CompiledPattern> compiled;
  for (const std::string& p : patterns) compiled.push_back(detail::compile_pattern(p));
  std::size_t hits = 0;
  for (const std::string& path : paths) {
    detail::PreparedPath prepared(path);
    for (std::size_t k = 0; k < patterns.size(); ++k) {
      const std::size_t expected = match_score(patterns[k], path);
      ASSERT_EQ(prepared.score(compiled[k], patterns[k].data()), expected)
          << "pattern: " << patterns[k] << "\npath: " << path;
      if (expected > 0) ++hits;
    }
  }
  EXPECT_GT(hits, 2000u);
}

TEST(RuleEngine, EvaluateEqualsAPlainLoopOverMatchScore) {
  std::mt19937 rng(11);
  std::vector<Rule> user;
  for (int k = 0; k < 30; ++k) {
    user.push_back(rule(random_text(rng, PATTERN_PIECES, 5), k % 2 ? State::red : State::green,
                        "user" + std::to_string(k)));
  }
  user.push_back(rule("cache", State::red, "user cache"));
  user.push_back(rule("?:\\Users", State::green, "users"));
  // Same name in two spellings: the first one wins. A drive wildcard that
  // a path without a drive letter can still match through a character of
  // two bytes before its ':'.
  user.push_back(rule("tEMP", State::red, "first temp"));
  user.push_back(rule("Temp", State::red, "second temp"));
  user.push_back(rule("?:\\*", State::green, "any drive folder"));
  const RuleEngine engine(user);
  const RuleEngine builtin_only;

  std::vector<std::string> paths;
  const char* const users[] = {"C:\\Users\\bob", "D:\\users\\Ann"};
  const char* const tails[] = {"\\AppData\\Local\\Microsoft",
                               "\\AppData\\Local\\Yarn\\Cache",
                               "\\AppData\\Local\\Mozilla\\Firefox\\Profiles\\x.default\\cache2",
                               "\\.m2\\repository\\org",
                               "\\Temp",
                               "\\cache",
                               ""};
  for (const char* u : users) {
    for (const char* t : tails) paths.push_back(std::string(u) + t);
  }
  for (const char* p : {"\xC3\xA9:\\x", "\xE2\x84\xAA:/x", "a:\\x", "\\a:\\x", "/x/TEMP"}) {
    paths.push_back(p);
  }
  for (int k = 0; k < 2000; ++k) paths.push_back(random_text(rng, PATH_PIECES, 9));
  for (int k = 0; k < 1000; ++k) paths.push_back(random_text(rng, ASCII_PATH_PIECES, 9));

  std::size_t verdicts = 0;
  for (const std::string& path : paths) {
    const std::optional<Mark> expected = plain_evaluate(user, path);
    ASSERT_EQ(as_optional(engine.evaluate(path)), expected) << path;
    ASSERT_EQ(as_optional(builtin_only.evaluate(path)), plain_evaluate({}, path)) << path;
    if (expected) ++verdicts;
  }
  EXPECT_GT(verdicts, paths.size() / 4);
  EXPECT_LT(verdicts, paths.size());
}

}  // namespace
}  // namespace oskra
