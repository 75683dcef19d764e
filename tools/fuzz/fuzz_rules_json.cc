// Any bytes as a rules file: the loader must answer (rules or none) without
// crashing, and every rule it accepts must round-trip into an engine that
// judges a path.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "rules/rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto rules = oskra::RuleEngine::parse_rules_json(text);
  if (!rules) return 0;
  std::vector<oskra::Rule> converted;
  for (const oskra::Rule& r : *rules) {
    converted.push_back(oskra::Rule{r.pattern, r.state, r.reason, r.action});
  }
  const oskra::RuleEngine engine(std::move(converted));
  (void)engine.evaluate("C:\\Users\\a\\AppData\\Local\\Temp");
  return 0;
}
