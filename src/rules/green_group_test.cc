#include "rules/green_group.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "rules/rules.h"

namespace oskra {
namespace {

// tests/data/green_groups.json, copied beside the test by the build: the
// cases the viewer's tests and the skill's snippets are held to as well.
nlohmann::json read_cases() {
  std::ifstream in("green_groups.json", std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return nlohmann::json::parse(text.str());
}

// Each case's verdict is the one the engine really gives its path, and its
// group is the one the table says.
TEST(GreenGroup, EveryCaseOfTheSharedTable) {
  const nlohmann::json cases = read_cases();
  ASSERT_GE(cases.size(), 10u);
  std::vector<Rule> user_rules;
  for (const nlohmann::json& c : cases) {
    if (c.at("source") == "user") {
      user_rules.push_back(Rule{c.at("pattern"), State::green, "r", "a"});
    }
  }
  const RuleEngine engine(user_rules);
  for (const nlohmann::json& c : cases) {
    const std::string path = c.at("path");
    SCOPED_TRACE(path);
    const Mark* mark = engine.evaluate(path);
    ASSERT_NE(mark, nullptr);
    EXPECT_EQ(mark->state, State::green);
    EXPECT_EQ(mark->pattern, c.at("pattern").get<std::string>());
    EXPECT_EQ(mark->source, c.at("source").get<std::string>());
    const GreenGroup group = green_group(*mark, path);
    EXPECT_EQ(group == GreenGroup::safe ? "safe" : "check first", c.at("group").get<std::string>())
        << c.at("case").get<std::string>();
  }
}

}  // namespace
}  // namespace oskra
