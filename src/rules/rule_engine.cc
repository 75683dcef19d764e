// Picks one verdict per path among the user rules and the built-in table.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "rules/compiled_pattern.h"
#include "rules/rules.h"

namespace oskra {
namespace {

// The built-in patterns in their compiled form, made together with the
// table on the first evaluation and read-only afterwards.
const std::vector<detail::CompiledPattern>& compiled_builtins() {
  static const std::vector<detail::CompiledPattern> compiled = [] {
    std::vector<detail::CompiledPattern> out;
    out.reserve(BUILTIN_RULES.size());
    for (const Rule& rule : BUILTIN_RULES) out.push_back(detail::compile_pattern(rule.pattern));
    return out;
  }();
  return compiled;
}

}  // namespace

RuleEngine::RuleEngine() = default;
RuleEngine::RuleEngine(const RuleEngine&) = default;
RuleEngine::RuleEngine(RuleEngine&&) noexcept = default;
RuleEngine& RuleEngine::operator=(const RuleEngine&) = default;
RuleEngine& RuleEngine::operator=(RuleEngine&&) noexcept = default;
RuleEngine::~RuleEngine() = default;

RuleEngine::RuleEngine(std::vector<Rule> user_rules) : user_rules_(std::move(user_rules)) {
  compiled_.reserve(user_rules_.size());
  for (const Rule& rule : user_rules_) compiled_.push_back(detail::compile_pattern(rule.pattern));
}

RuleEngine RuleEngine::from_exe_dir(RulesFileReader read) {
  if (read == nullptr) return RuleEngine();
  std::optional<std::string> text = read("rules.json");
  if (!text) return RuleEngine();
  std::optional<std::vector<RawRule>> raw = parse_rules_json(*text);
  if (!raw) return RuleEngine();
  std::vector<Rule> rules;
  rules.reserve(raw->size());
  for (RawRule& row : *raw) {
    rules.push_back(
        Rule{std::move(row.pattern), row.state, std::move(row.reason), std::move(row.action)});
  }
  return RuleEngine(std::move(rules));
}

std::optional<Mark> RuleEngine::evaluate(std::string_view path) const {
  const std::vector<Rule>& builtin_rules = BUILTIN_RULES.rules();
  const std::vector<detail::CompiledPattern>& builtin_compiled = compiled_builtins();

  detail::PreparedPath prepared(path);
  const Rule* best = nullptr;
  std::size_t best_score = 0;
  bool best_is_user = false;
  // Every candidate is scored; only a strictly higher score displaces the
  // best so far, so ties go to the earlier rule and user rules come first.
  for (std::size_t k = 0; k < user_rules_.size(); ++k) {
    const std::size_t score = prepared.score(compiled_[k]);
    if (score > best_score) {
      best = &user_rules_[k];
      best_score = score;
      best_is_user = true;
    }
  }
  for (std::size_t k = 0; k < builtin_rules.size(); ++k) {
    const std::size_t score = prepared.score(builtin_compiled[k]);
    if (score > best_score) {
      best = &builtin_rules[k];
      best_score = score;
      best_is_user = false;
    }
  }
  if (best == nullptr) return std::nullopt;

  // A user rule with the built-in winner's pattern would have scored the
  // same and come first, so the winner's origin decides the source.
  const std::string_view source = best_is_user ? SOURCE_USER : SOURCE_BUILTIN;
  return Mark{best->state, best->pattern, source, best->reason, best->action};
}

}  // namespace oskra
