// Picks one verdict per path among the user rules and the built-in table.
#include <cstddef>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "rules/compiled_rules.h"
#include "rules/rules.h"

namespace oskra {
namespace {

// The built-in patterns in their compiled form, made together with the
// table on the first evaluation with all their verdicts, and read-only
// afterwards.
const detail::CompiledRules& compiled_builtins() {
  static const detail::CompiledRules compiled(BUILTIN_RULES.rules(), SOURCE_BUILTIN,
                                              /*eager=*/true);
  return compiled;
}

}  // namespace

RuleEngine::RuleEngine() = default;
RuleEngine::RuleEngine(const RuleEngine&) = default;
RuleEngine::RuleEngine(RuleEngine&&) noexcept = default;
RuleEngine& RuleEngine::operator=(const RuleEngine&) = default;
RuleEngine& RuleEngine::operator=(RuleEngine&&) noexcept = default;
RuleEngine::~RuleEngine() = default;

RuleEngine::RuleEngine(const std::vector<Rule>& user_rules)
    : compiled_(std::make_shared<const detail::CompiledRules>(user_rules, SOURCE_USER,
                                                              /*eager=*/false)) {}

RuleEngine RuleEngine::from_rules_json(std::string_view text) {
  // Rows go straight from the text into their compiled form, with no list
  // of rules in between.
  RuleEngine engine;
  detail::RulesBuilder builder(SOURCE_USER);
  if (detail::read_rules_json(text, builder)) {
    engine.compiled_ =
        std::make_shared<const detail::CompiledRules>(std::move(builder), /*eager=*/false);
  }
  return engine;
}

const Mark* RuleEngine::evaluate(std::string_view path) const {
  const detail::CompiledRules& builtin_compiled = compiled_builtins();

  // Every candidate counts: the highest score wins, and among equal scores
  // the earlier rule, user rules before built-in ones.
  detail::PreparedPath prepared(path);
  const detail::CompiledRules::Best user =
      compiled_ ? compiled_->best(prepared) : detail::CompiledRules::Best{};
  const detail::CompiledRules::Best builtin = builtin_compiled.best(prepared);
  if (user.score == 0 && builtin.score == 0) return nullptr;
  // A user rule with the built-in winner's pattern would have scored the
  // same and come first, so the winner's origin decides the source.
  if (user.score >= builtin.score) return &compiled_->mark(user.position);
  return &builtin_compiled.mark(builtin.position);
}

}  // namespace oskra
