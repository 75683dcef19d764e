#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "rules/rules.h"
#include "support/print_mark.h"

namespace oskra {
namespace {

TEST(BuiltinRules, TableShapeAndOrder) {
  ASSERT_EQ(BUILTIN_RULES.size(), 37u);
  EXPECT_EQ(&BUILTIN_RULES.rules(), &BUILTIN_RULES.rules());  // built once, kept
  EXPECT_EQ(BUILTIN_RULES[0].pattern, "?:\\Windows");
  EXPECT_EQ(BUILTIN_RULES[0].state, State::red);
  EXPECT_EQ(BUILTIN_RULES[36].pattern,
            "?:\\Users\\*\\AppData\\Local\\Mozilla\\Firefox\\Profiles\\*\\cache2");
  EXPECT_EQ(BUILTIN_RULES[36].state, State::green);
  EXPECT_EQ(BUILTIN_RULES[20].pattern, "Temp");
  for (std::size_t k = 0; k < BUILTIN_RULES.size(); ++k) {
    EXPECT_EQ(BUILTIN_RULES[k].state, k < 20 ? State::red : State::green) << k;
    EXPECT_TRUE(BUILTIN_RULES[k].reason.starts_with("rule.reason.")) << k;
    EXPECT_TRUE(BUILTIN_RULES[k].action.starts_with("rule.action.")) << k;
  }

  std::set<std::string> reasons;
  std::map<std::string, int> actions;
  for (const Rule& rule : BUILTIN_RULES) {
    reasons.insert(rule.reason);
    ++actions[rule.action];
  }
  EXPECT_EQ(reasons.size(), 36u);
  EXPECT_EQ(BUILTIN_RULES[18].reason, BUILTIN_RULES[19].reason);
  const std::map<std::string, int> expected_actions = {
      {"rule.action.dontDelete", 12},    {"rule.action.safeToClean", 11},
      {"rule.action.caution", 4},        {"rule.action.uninstall", 2},
      {"rule.action.safeToEmpty", 2},    {"rule.action.emptyRecycleBin", 1},
      {"rule.action.useDiskCleanup", 1}, {"rule.action.cleanNpm", 1},
      {"rule.action.cleanPip", 1},       {"rule.action.cleanYarn", 1},
      {"rule.action.cleanWithCare", 1}};
  EXPECT_EQ(actions, expected_actions);

  EXPECT_EQ(to_string(State::red), "red");
  EXPECT_EQ(to_string(State::green), "green");
  EXPECT_EQ(static_cast<int>(State::red), 0);
  EXPECT_EQ(static_cast<int>(State::green), 1);
}

struct Expected {
  std::string_view path;
  std::optional<State> state;
  std::string_view reason;  // empty when no verdict
};

TEST(BuiltinRules, VerdictsWithoutUserRules) {
  const RuleEngine engine;
  const Expected cases[] = {
      {"C:\\Windows\\Temp\\x", State::green, "rule.reason.sysTemp"},
      {"C:\\Windows\\System32\\config\\systemprofile\\AppData\\Local\\Temp", State::red,
       "rule.reason.systemDir"},
      {"C:\\Windows\\CrashDumps", State::red, "rule.reason.systemDir"},
      {"C:\\Program Files (x86)\\x", State::red, "rule.reason.installedApps32"},
      {"C:\\Program Files\\app\\cache", State::red, "rule.reason.installedApps"},
      {"C:\\Users\\bob\\AppData\\Local\\Microsoft\\Edge\\User Data\\Default\\Cache", State::green,
       "rule.reason.edgeCache"},
      {"C:\\Users\\bob\\AppData\\Local\\Microsoft\\Windows", std::nullopt, ""},
      {"C:\\Users\\bob\\AppData\\Local\\Microsoft", State::red, "rule.reason.msAppData"},
      {"C:\\Users\\bob\\AppData\\Local\\Yarn\\Cache", State::green, "rule.reason.yarnCache"},
      {"C:\\PAGEFILE.SYS", State::red, "rule.reason.pageFile"},
      {"E:\\pagefile.sys", State::red, "rule.reason.pageFile"},
      {"C:\\Windows\\Temp", State::green, "rule.reason.sysTemp"},
      {"C:\\Windows\\System32\\config\\cache", State::red, "rule.reason.systemDir"},
      {"D:\\work\\node\\npm-cache", State::green, "rule.reason.npmCache"},
      {"D:\\work\\cache\\x", std::nullopt, ""},
      {"C:\\Users\\a\\AppData\\Local\\Mozilla\\Firefox\\Profiles\\q1.default\\cache2", State::green,
       "rule.reason.firefoxCache"},
      {"C:\\Users\\a\\AppData\\Local\\Microsoft\\Windows\\Explorer\\thumbcache_256.db",
       State::green, "rule.reason.thumbCache"},
      {"\\\\?\\C:\\Windows", std::nullopt, ""},
      {"C:\\", std::nullopt, ""},
  };
  for (const Expected& e : cases) {
    const Mark* mark = engine.evaluate(e.path);
    ASSERT_EQ(mark != nullptr, e.state.has_value()) << e.path;
    if (!mark) continue;
    EXPECT_EQ(mark->state, *e.state) << e.path;
    EXPECT_EQ(mark->reason, e.reason) << e.path;
    EXPECT_EQ(mark->source, SOURCE_BUILTIN) << e.path;
  }

  const Mark* temp = engine.evaluate("C:\\Windows\\Temp");
  ASSERT_NE(temp, nullptr);
  EXPECT_EQ(*temp, (Mark{State::green, "?:\\Windows\\Temp", SOURCE_BUILTIN, "rule.reason.sysTemp",
                         "rule.action.safeToEmpty"}));
}

}  // namespace
}  // namespace oskra
