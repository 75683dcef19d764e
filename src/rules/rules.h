// The rules library: the verdict model, the built-in rule table, the pattern
// language and the engine that picks one verdict per path.
//
// Pure logic. The only contact with the outside world is the text of
// `rules.json`, which the caller reads and hands in.
// Nothing here prints, throws to the caller, or keeps mutable global state
// beyond the built-in table, which is built once on first use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace oskra {

// The colour of a verdict. The numeric values are part of the model.
enum class State : std::uint8_t { red = 0, green = 1 };

// "red" or "green".
std::string_view to_string(State state);

// One rule, and one row of rules.json (members in their positional order).
// Texts are stored exactly as written: patterns are normalised only when
// they are matched.
struct Rule {
  std::string pattern;
  State state = State::red;
  std::string reason;
  std::string action;

  friend bool operator==(const Rule&, const Rule&) = default;
};

// The two fixed texts a verdict's source can be.
inline constexpr std::string_view SOURCE_BUILTIN = "builtin";
inline constexpr std::string_view SOURCE_USER = "user";

// A verdict, made only by `RuleEngine::evaluate`. Its texts are those of
// the winning rule as the engine keeps them: they live as long as the
// engine that made the verdict (a built-in rule's, as long as the process).
// `source` always views one of the two fixed texts above.
struct Mark {
  State state = State::red;
  std::string_view pattern;
  std::string_view source = SOURCE_BUILTIN;
  std::string_view reason;
  std::string_view action;

  friend bool operator==(const Mark&, const Mark&) = default;
};

// The 37 built-in rules in table order. The sequence is built on first
// access behind a thread-safe one-time guard and lives until the process
// ends. Use it like a read-only container: `for (const Rule& r :
// BUILTIN_RULES)`, `BUILTIN_RULES.size()`, `BUILTIN_RULES[0]`.
class BuiltinRuleTable {
 public:
  const std::vector<Rule>& rules() const;
  std::vector<Rule>::const_iterator begin() const { return rules().begin(); }
  std::vector<Rule>::const_iterator end() const { return rules().end(); }
  std::size_t size() const { return rules().size(); }
  const Rule& operator[](std::size_t i) const { return rules()[i]; }
};
inline constexpr BuiltinRuleTable BUILTIN_RULES{};

// --- Pattern language -------------------------------------------------------

// Trims Unicode White_Space from both ends, turns every "/" into "\", then
// drops every trailing "\". Nothing else changes (case, inner separators,
// a verbatim prefix, "." and "..").
std::string normalize(std::string_view text);

// Anchored glob over code points after full Unicode default lower-casing of
// both sides: "*" is any run and "?" exactly one character, neither ever
// matching "\". Ill-formed UTF-8 counts as one U+FFFD per maximal ill-formed
// subpart. Polynomial time, bounded stack.
bool wildcard_match(std::string_view pattern, std::string_view text);

// The score of one rule pattern against one path: 0 for no match, else the
// byte length of the normalised pattern.
std::size_t match_score(std::string_view pattern, std::string_view path);

// --- Engine -----------------------------------------------------------------

namespace detail {
class CompiledRules;  // private to the engine's implementation
}

class RuleEngine {
 public:
  RuleEngine();
  explicit RuleEngine(const std::vector<Rule>& user_rules);
  RuleEngine(const RuleEngine&);
  RuleEngine(RuleEngine&&) noexcept;
  RuleEngine& operator=(const RuleEngine&);
  RuleEngine& operator=(RuleEngine&&) noexcept;
  ~RuleEngine();

  // An engine with the rules of a rules file's text. Any problem (not UTF-8,
  // a byte-order mark, any syntax or schema error) leaves it without user
  // rules, silently.
  static RuleEngine from_rules_json(std::string_view text);

  // Parses the text of a rules file. Returns nothing when the text is not a
  // valid rules file in every row; throws only when memory runs out.
  static std::optional<std::vector<Rule>> parse_rules_json(std::string_view text);

  // The single best verdict for a display path, or null for none. Each
  // rule's verdict is made once and shared by every path it judges: it
  // lives as long as any copy of this engine (a built-in one, as long as
  // the process).
  const Mark* evaluate(std::string_view path) const;

 private:
  // The user rules, compiled once; read-only, so copies of the engine share
  // them. Empty for an engine without user rules.
  std::shared_ptr<const detail::CompiledRules> compiled_;
};

}  // namespace oskra
