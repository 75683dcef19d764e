// Any bytes as a rules file. The loader must answer (rules or none) without
// crashing; the rules it accepts, written out again as plain rows, must read
// back the same; and an engine with those rules, and the engine loaded
// straight from the text, must both give the verdict of a plain loop over
// match_score for each rule's own pattern taken as a path. A text that is
// not a rules file loads as no user rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <vector>

#include "rules/rules.h"
#include "support/plain_evaluate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<std::vector<oskra::Rule>> rules = oskra::RuleEngine::parse_rules_json(text);
  const oskra::RuleEngine loaded = oskra::RuleEngine::from_rules_json(text);
  if (!rules) {
    for (const std::string_view path : {std::string_view("cache"), text}) {
      if (oskra::as_optional(loaded.evaluate(path)) != oskra::plain_evaluate({}, path)) {
        std::abort();
      }
    }
    return 0;
  }

  nlohmann::json rows = nlohmann::json::array();
  for (const oskra::Rule& r : *rules) {
    rows.push_back({{"pattern", r.pattern},
                    {"state", oskra::to_string(r.state)},
                    {"reason", r.reason},
                    {"action", r.action}});
  }
  if (oskra::RuleEngine::parse_rules_json(rows.dump()) != rules) std::abort();

  const oskra::RuleEngine engine(*rules);
  for (const oskra::Rule& r : *rules) {
    const std::optional<oskra::Mark> expected = oskra::plain_evaluate(*rules, r.pattern);
    if (oskra::as_optional(engine.evaluate(r.pattern)) != expected ||
        oskra::as_optional(loaded.evaluate(r.pattern)) != expected) {
      std::abort();
    }
  }
  return 0;
}
