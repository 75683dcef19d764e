// rules.example.json ships beside the program as the starting point for a
// user's rules.json. It must load through the real loader (a file that does
// not is ignored without a word) and do what its comments say.
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

  const RuleEngine engine = example_engine();
  EXPECT_EQ(engine.user_rules().size(), rows->size());
}

TEST(RulesExample, MarksTheBuildOutputGreenAndThePhotosRed) {
  const RuleEngine engine = example_engine();
  ASSERT_FALSE(engine.user_rules().empty());

  // The build folder and everything beneath it, whatever the ASCII case.
  for (const char* path :
       {R"(D:\Projects\MyGame\build)", R"(D:\Projects\MyGame\build\bin\game.exe)",
        R"(d:\projects\mygame\BUILD\obj)"}) {
    SCOPED_TRACE(path);
    const Mark* mark = engine.evaluate(path);
    ASSERT_NE(mark, nullptr);
    EXPECT_EQ(mark->state, State::green);
    EXPECT_EQ(mark->source, SOURCE_USER);
    EXPECT_EQ(mark->pattern, "D:/Projects/MyGame/build");  // as written in the file
  }
  // A sibling that merely shares the prefix is not covered.
  const Mark* sibling = engine.evaluate(R"(D:\Projects\MyGame\buildtools)");
  EXPECT_FALSE(sibling != nullptr && sibling->source == SOURCE_USER);

  // The photos stay red below, even where a built-in name rule is green.
  for (const char* path : {R"(D:\Photos)", R"(D:\Photos\2023\cache)", R"(D:\Photos\Temp)"}) {
    SCOPED_TRACE(path);
    const Mark* mark = engine.evaluate(path);
    ASSERT_NE(mark, nullptr);
    EXPECT_EQ(mark->state, State::red);
    EXPECT_EQ(mark->source, SOURCE_USER);
  }
}

}  // namespace
}  // namespace oskra
