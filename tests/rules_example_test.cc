// rules.example.json ships beside the program as an opt-in rules.json. It
// must load through the real loader (a file that does not is ignored
// without a word) and do what its comments say.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "doc_support.h"
#include "rules/rules.h"

namespace oskra {
namespace {

// The engine a user gets by copying the example to rules.json.
RuleEngine example_engine() {
  return RuleEngine::from_rules_json(docs::read_file("rules.example.json").value_or(""));
}

TEST(RulesExample, LoadsThroughTheRealLoaderWithACommentOnEveryRow) {
  const std::optional<std::string> text = docs::read_file("rules.example.json");
  ASSERT_TRUE(text.has_value()) << "rules.example.json was not copied beside the test";

  const std::optional<std::vector<Rule>> rows = RuleEngine::parse_rules_json(*text);
  ASSERT_TRUE(rows.has_value()) << "the loader would ignore the example";
  ASSERT_GE(rows->size(), 2u);

  const nlohmann::json json = nlohmann::json::parse(*text);
  ASSERT_EQ(json.size(), rows->size());
  for (const nlohmann::json& row : json) {
    ASSERT_TRUE(row.is_object());
    ASSERT_TRUE(row.contains("comment") && row["comment"].is_string()) << row.dump();
    EXPECT_FALSE(row["comment"].get<std::string>().empty());
  }
}

// The example exists to overrule the broad built-in name rules where they
// are wrong and to mark caches they miss, without ever weakening a red
// system path.
TEST(RulesExample, OverrulesTheBroadRulesWhereTheyAreWrong) {
  const RuleEngine engine = example_engine();
  struct Case {
    const char* path;
    State state;
    std::string_view source;
  };
  const Case cases[] = {
      // Green by the built-in `cache` rule alone.
      {R"(C:\Users\bob\AppData\Local\Microsoft\OneNote\16.0\cache)", State::red, SOURCE_USER},
      {R"(D:\app\.yarn\cache)", State::red, SOURCE_USER},
      {R"(C:\Users\bob\source\repos\app\.yarn\cache)", State::red, SOURCE_USER},
      {R"(C:\Users\bob\AppData\Local\pnpm\store)", State::green, SOURCE_USER},
      {R"(C:\Users\bob\AppData\Local\JetBrains\IntelliJIdea2024.1\caches)", State::green,
       SOURCE_USER},
      {R"(D:\a\b\c\d\app\node_modules\.cache)", State::green, SOURCE_USER},
      {R"(D:\tools\lib\__pycache__)", State::green, SOURCE_USER},
      // The longer red path still wins over an example name rule.
      {R"(C:\Program Files\Python312\Lib\__pycache__)", State::red, SOURCE_BUILTIN},
      {R"(C:\Windows\System32\D3DSCache)", State::red, SOURCE_BUILTIN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const Mark* mark = engine.evaluate(c.path);
    ASSERT_NE(mark, nullptr);
    EXPECT_EQ(mark->state, c.state);
    EXPECT_EQ(mark->source, c.source);
  }
  // A `*` never crosses a separator: the project rules stop at six levels.
  const Mark* deep = engine.evaluate(R"(D:\1\2\3\4\5\6\7\.yarn\cache)");
  ASSERT_NE(deep, nullptr);
  EXPECT_EQ(deep->source, SOURCE_BUILTIN);
}

}  // namespace
}  // namespace oskra
