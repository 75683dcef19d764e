// The rule engine's choice written out plainly, as the yardstick the engine
// must agree with (the rules tests and the fuzzers compare the two).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "rules/rules.h"

namespace oskra {

// Every rule through match_score, user rules first, then the built-in ones;
// only a strictly higher score takes over.
inline std::optional<Mark> plain_evaluate(const std::vector<Rule>& user, std::string_view path) {
  const Rule* best = nullptr;
  std::size_t best_score = 0;
  bool best_is_user = false;
  const auto consider = [&](const Rule& r, bool is_user) {
    const std::size_t score = match_score(r.pattern, path);
    if (score > best_score) {
      best = &r;
      best_score = score;
      best_is_user = is_user;
    }
  };
  for (const Rule& r : user) consider(r, true);
  for (const Rule& r : BUILTIN_RULES) consider(r, false);
  if (best == nullptr) return std::nullopt;
  return Mark{best->state, best->pattern, best_is_user ? SOURCE_USER : SOURCE_BUILTIN, best->reason,
              best->action};
}

// A verdict as a value, so that a missing one compares instead of being
// dereferenced.
inline std::optional<Mark> as_optional(const Mark* mark) {
  return mark != nullptr ? std::optional<Mark>(*mark) : std::nullopt;
}

}  // namespace oskra
