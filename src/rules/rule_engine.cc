// Picks one verdict per path among the user rules and the built-in table.
#include <cstddef>
#include <memory>
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
const detail::CompiledRules& compiled_builtins() {
  static const detail::CompiledRules compiled(BUILTIN_RULES.rules());
  return compiled;
}

}  // namespace

RuleEngine::RuleEngine() = default;
RuleEngine::RuleEngine(const RuleEngine&) = default;
RuleEngine::RuleEngine(RuleEngine&&) noexcept = default;
RuleEngine& RuleEngine::operator=(const RuleEngine&) = default;
RuleEngine& RuleEngine::operator=(RuleEngine&&) noexcept = default;
RuleEngine::~RuleEngine() = default;

RuleEngine::RuleEngine(std::vector<Rule> user_rules)
    : user_rules_(std::move(user_rules)),
      compiled_(std::make_shared<const detail::CompiledRules>(user_rules_)) {}

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
  const detail::CompiledRules& builtin_compiled = compiled_builtins();

  // Every candidate counts: the highest score wins, and among equal scores
  // the earlier rule, user rules before built-in ones.
  detail::PreparedPath prepared(path);
  const detail::CompiledRules::Best user =
      compiled_ ? compiled_->best(prepared) : detail::CompiledRules::Best{};
  const detail::CompiledRules::Best builtin = builtin_compiled.best(prepared);
  if (user.score == 0 && builtin.score == 0) return std::nullopt;
  // A user rule with the built-in winner's pattern would have scored the
  // same and come first, so the winner's origin decides the source.
  const bool from_user = user.score >= builtin.score;
  const Rule* best = from_user ? &user_rules_[user.position] : &builtin_rules[builtin.position];
  const std::string_view source = from_user ? SOURCE_USER : SOURCE_BUILTIN;
  return Mark{best->state, best->pattern, source, best->reason, best->action};
}

}  // namespace oskra
