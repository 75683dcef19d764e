// Any bytes as a rules file. The loader must answer (rules or none) without
// crashing; the rules it accepts, written out again as plain rows, must read
// back the same; and an engine with those rules must give the verdict of a
// plain loop over match_score for each rule's own pattern taken as a path.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rules/rules.h"

namespace {

// The winner written out plainly: user rules first, then the built-in ones;
// only a strictly higher score takes over.
struct Plain {
  const oskra::Rule* rule = nullptr;
  std::string_view source;
};
Plain plain_evaluate(const std::vector<oskra::Rule>& user, std::string_view path) {
  Plain best;
  std::size_t best_score = 0;
  const auto consider = [&](const oskra::Rule& r, std::string_view source) {
    const std::size_t score = oskra::match_score(r.pattern, path);
    if (score > best_score) {
      best = Plain{&r, source};
      best_score = score;
    }
  };
  for (const oskra::Rule& r : user) consider(r, oskra::SOURCE_USER);
  for (const oskra::Rule& r : oskra::BUILTIN_RULES) consider(r, oskra::SOURCE_BUILTIN);
  return best;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<std::vector<oskra::Rule>> rules = oskra::RuleEngine::parse_rules_json(text);
  if (!rules) return 0;

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
    const Plain expected = plain_evaluate(*rules, r.pattern);
    const oskra::Mark* mark = engine.evaluate(r.pattern);
    if ((mark != nullptr) != (expected.rule != nullptr)) std::abort();
    if (mark && (mark->pattern != expected.rule->pattern || mark->source != expected.source ||
                 mark->state != expected.rule->state || mark->reason != expected.rule->reason ||
                 mark->action != expected.rule->action)) {
      std::abort();
    }
  }
  return 0;
}
