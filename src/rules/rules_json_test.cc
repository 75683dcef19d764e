#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rules/rules.h"

namespace oskra {
namespace {

std::optional<std::vector<Rule>> parse(std::string_view text) {
  return RuleEngine::parse_rules_json(text);
}

constexpr std::string_view GOOD_ROW =
    R"({"pattern": "D:\\Games", "state": "red", "reason": "r", "action": "a"})";

std::string with_row(std::string_view row) {
  return "[" + std::string(GOOD_ROW) + ", " + std::string(row) + "]";
}

TEST(RulesJson, AcceptsTheThreeForms) {
  const auto rows = parse(R"([
    {"action": "rule.action.x", "state": "green", "pattern": "C:/Data/cache/", "reason": "why"},
    ["?:\\Temp \\", "red", "because", "keep"],
    {"pattern": "x", "state": {"green": null}, "reason": "", "action": ""},
    ["y", {"red": null}, "\u00e9\ud83d\ude00\/\"", "\t"]
  ]
  )");
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 4u);
  EXPECT_EQ((*rows)[0].pattern, "C:/Data/cache/");  // kept exactly as written
  EXPECT_EQ((*rows)[0].state, State::green);
  EXPECT_EQ((*rows)[0].reason, "why");
  EXPECT_EQ((*rows)[0].action, "rule.action.x");
  EXPECT_EQ((*rows)[1].pattern, "?:\\Temp \\");
  EXPECT_EQ((*rows)[1].state, State::red);
  EXPECT_EQ((*rows)[1].reason, "because");
  EXPECT_EQ((*rows)[1].action, "keep");
  EXPECT_EQ((*rows)[2].state, State::green);
  EXPECT_EQ((*rows)[3].state, State::red);
  EXPECT_EQ((*rows)[3].reason, "\xC3\xA9\xF0\x9F\x98\x80/\"");
  EXPECT_EQ((*rows)[3].action, "\t");

  const auto empty = parse(" \t\r\n[ ] \r\n\t ");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

// A name of 200 bytes: longer than one byte can give the length of.
const std::string LONG_NAME(200, 'n');

TEST(RulesJson, IgnoresUnknownMembersWhateverTheirValue) {
  const auto rows = parse(R"([{
    "comment": "what this is for", "Pattern": 1, "n": -0.5e-3, "big": 1e400,
    "huge": -123456789012345678901234567890, "t": true, "f": false, "z": null,
    "nested": {"a": [1, {"b": [[], {}]}], "c": {"d": null}}, "list": [1, "two", null],
    "k": {"k": {"k": 1, "j": {}}, "j": [{"j": 0}, {"j": 1}]}, "j": 0,
    ")" + LONG_NAME + R"(": 1, ")" +
                          LONG_NAME.substr(1) + R"(x": 2,
    "": "empty name", "pattern": "p", "state": "green", "reason": "r", "action": "a"
  }])");
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_EQ((*rows)[0].pattern, "p");
  EXPECT_EQ((*rows)[0].state, State::green);
}

TEST(RulesJson, RejectsRowsThatBreakTheSchema) {
  const std::string_view bad_rows[] = {
      // A missing member, or a member spelled differently.
      R"({"pattern": "p", "state": "red", "reason": "r"})",
      R"({"Pattern": "p", "state": "red", "reason": "r", "action": "a"})",
      // Wrong types.
      R"({"pattern": 1, "state": "red", "reason": "r", "action": "a"})",
      R"({"pattern": "p", "state": "red", "reason": null, "action": "a"})",
      R"({"pattern": ["p"], "state": "red", "reason": "r", "action": "a"})",
      R"({"pattern": "p", "state": "red", "reason": "r", "action": {}})",
      // States other than exactly "red" and "green".
      R"({"pattern": "p", "state": "Red", "reason": "r", "action": "a"})",
      R"({"pattern": "p", "state": "blue", "reason": "r", "action": "a"})",
      R"({"pattern": "p", "state": 0, "reason": "r", "action": "a"})",
      R"({"pattern": "p", "state": null, "reason": "r", "action": "a"})",
      R"({"pattern": "p", "state": {}, "reason": "r", "action": "a"})",
      R"({"pattern": "p", "state": {"red": 0}, "reason": "r", "action": "a"})",
      R"({"pattern": "p", "state": {"red": "x"}, "reason": "r", "action": "a"})",
      R"({"pattern": "p", "state": {"red": {}}, "reason": "r", "action": "a"})",
      R"({"pattern": "p", "state": {"Red": null}, "reason": "r", "action": "a"})",
      R"({"pattern": "p", "state": {"red": null, "green": null}, "reason": "r", "action": "a"})",
      R"({"pattern": "p", "state": {"red": null, "x": 1}, "reason": "r", "action": "a"})",
      R"({"pattern": "p", "state": ["red"], "reason": "r", "action": "a"})",
      // Duplicate members, in the row or in any object inside it.
      R"({"pattern": "p", "state": "red", "reason": "r", "action": "a", "pattern": "q"})",
      R"({"pattern": "p", "state": "red", "reason": "r", "action": "a", "x": 1, "x": 1})",
      R"({"pattern": "p", "state": "red", "reason": "r", "action": "a", "p\u0061ttern": "q"})",
      R"({"pattern": "p", "state": {"red": null, "red": null}, "reason": "r", "action": "a"})",
      R"({"pattern": "p", "state": "red", "reason": "r", "action": "a", "x": {"k": 1, "k": 2}})",
      R"({"pattern": "p", "state": "red", "reason": "r", "action": "a", "x": [{"k": 1, "k": 1}]})",
      R"({"pattern": "p", "x": {"a": {"b": 1}, "a": 2}, "state": "red", "reason": "r", "action": "a"})",
      R"({"pattern": "p", "x": {"a": {"b": {}}, "c": 0}, "x": 1, "state": "red", "reason": "r", "action": "a"})",
      // Array rows of the wrong length or with values of the wrong type.
      R"(["p", "red", "r"])",
      R"(["p", "red", "r", "a", "extra"])",
      R"([])",
      R"(["p", "RED", "r", "a"])",
      R"(["p", "red", "r", 4])",
      R"(["p", {"green": null}, ["r"], "a"])",
      R"([null, "red", "r", "a"])",
      // Rows that are neither objects nor arrays.
      R"("p")",
      R"(null)",
      R"(42)",
  };
  ASSERT_TRUE(parse(with_row(R"(["p", "green", "r", "a"])")));
  for (const std::string_view row : bad_rows) {
    EXPECT_FALSE(parse(with_row(row))) << row;
  }
  // Long names equal once their escapes are decoded.
  EXPECT_FALSE(
      parse(with_row(R"({"pattern": "p", "state": "red", "reason": "r", "action": "a", ")" +
                     LONG_NAME + R"(": 1, ")" + LONG_NAME.substr(1) + R"(n": 2})")));
}

TEST(RulesJson, RejectsTextThatIsNotStrictJson) {
  const std::string good = with_row(R"(["p", "green", "r", "a"])");
  ASSERT_TRUE(parse(good));
  const std::string bad_texts[] = {
      "",
      " ",
      "{}",
      "\"[]\"",
      "null",
      "[",
      "[[]",
      // Byte-order mark.
      "\xEF\xBB\xBF[]",
      "\xEF\xBB\xBF" + good,
      // Trailing text: only space, tab, line feed and carriage return may follow.
      "[] x",
      "[][]",
      "[],",
      "[]\f",
      "[]\v",
      std::string("[]\0", 3),
      std::string("[]\0garbage", 10),
      "[]\xC2\xA0",
      "\f[]",
      // Comments and trailing commas.
      "[] // note",
      "/* note */ []",
      "[" + std::string(GOOD_ROW) + ",]",
      R"([{"pattern": "p", "state": "red", "reason": "r", "action": "a",}])",
      // Invalid UTF-8, inside or outside strings.
      "[\"\xFF\"]",
      with_row("[\"p\xC3\", \"red\", \"r\", \"a\"]"),
      "[" + std::string(GOOD_ROW) + "]\xFF",
      R"([{"pattern": "a)" + std::string("\xED\xA0\x80") +
          R"(", "state": "red", "reason": "r", "action": "a"}])",
      R"([{"pattern": ")" + std::string("\xC0\xAF") +
          R"(", "state": "red", "reason": "r", "action": "a"}])",
      // Lone surrogates written as escapes.
      R"([{"pattern": "\ud800", "state": "red", "reason": "r", "action": "a"}])",
      R"([{"pattern": "\udc00", "state": "red", "reason": "r", "action": "a"}])",
      R"([{"pattern": "\ud800\u0041", "state": "red", "reason": "r", "action": "a"}])",
      R"([{"pattern": "\ud800x", "state": "red", "reason": "r", "action": "a"}])",
      // Bad escapes and raw control characters in strings.
      R"([{"pattern": "\a", "state": "red", "reason": "r", "action": "a"}])",
      R"([{"pattern": "\x41", "state": "red", "reason": "r", "action": "a"}])",
      R"([{"pattern": "\u12", "state": "red", "reason": "r", "action": "a"}])",
      "[{\"pattern\": \"a\tb\", \"state\": \"red\", \"reason\": \"r\", \"action\": \"a\"}]",
      "[{\"pattern\": \"a\nb\", \"state\": \"red\", \"reason\": \"r\", \"action\": \"a\"}]",
      "[{\"pattern\": \"a\x1f\", \"state\": \"red\", \"reason\": \"r\", \"action\": \"a\"}]",
      // Strings and names must use double quotes.
      R"([{'pattern': "p", "state": "red", "reason": "r", "action": "a"}])",
      R"([{pattern: "p", "state": "red", "reason": "r", "action": "a"}])",
  };
  for (const std::string& text : bad_texts) {
    EXPECT_FALSE(parse(text)) << text;
  }
}

TEST(RulesJson, NumbersFollowTheGrammarEvenInIgnoredMembers) {
  const auto with_number = [](std::string_view number) {
    return R"([{"pattern": "p", "state": "red", "reason": "r", "action": "a", "n": )" +
           std::string(number) + "}]";
  };
  for (const std::string_view ok :
       {"0", "-0", "1", "-12", "0.5", "1e5", "1E+5", "1e-400", "-1.25e-7", "1e400", "-1e400",
        "123456789012345678901234567890"}) {
    EXPECT_TRUE(parse(with_number(ok))) << ok;
  }
  for (const std::string_view bad :
       {"01",  "-01", "00",   "+1",    ".5",    "1.",       "-",
        "1e",  "1e+", "1.e5", "0x10",  "NaN",   "Infinity", "-Infinity",
        "1 2", "1-2", "--1",  "1e5e5", "1.2.3", "TRUE",     "nul"}) {
    EXPECT_FALSE(parse(with_number(bad))) << bad;
  }
  // A string that looks like a number is just a string.
  EXPECT_TRUE(parse(R"([{"pattern": "01", "state": "red", "reason": "1e400", "action": "-"}])"));
}

TEST(RulesJson, DeepNestingInAnIgnoredMemberDoesNotCrash) {
  const std::string deep_ok = std::string(100000, '[') + std::string(100000, ']');
  const auto rows = parse(
      R"([{"pattern": "p", "state": "red", "reason": "r", "action": "a", "x": )" + deep_ok + "}]");
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->size(), 1u);
  EXPECT_FALSE(parse(std::string(100000, '[')));
}

}  // namespace
}  // namespace oskra
