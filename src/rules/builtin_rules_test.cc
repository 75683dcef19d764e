#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "rules/rules.h"
#include "support/print_mark.h"

namespace oskra {
namespace {

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
