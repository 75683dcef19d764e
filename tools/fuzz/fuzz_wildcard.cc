// Pattern and text from the input (split at the first NUL): the matcher must
// agree with the plain recursive reference, the rule engine's compiled score
// with the plain match_score, and the engine's verdict, with the pattern as
// its one user rule, with a plain loop over match_score. Inputs are kept small (few
// asterisks, short texts) so the reference, exponential in the number of
// asterisks, stays quick.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "rules/compiled_pattern.h"
#include "rules/rules.h"
#include "support/plain_evaluate.h"
#include "support/wildcard_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 64) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  if (split == std::string_view::npos) return 0;
  const std::string_view pattern = input.substr(0, split);
  const std::string_view text = input.substr(split + 1);
  if (std::count(pattern.begin(), pattern.end(), '*') > 5) return 0;
  if (oskra::wildcard_match(pattern, text) != oskra::reference::reference_match(pattern, text)) {
    std::abort();
  }
  const std::size_t user_score = oskra::match_score(pattern, text);
  oskra::detail::PreparedPath prepared(text);
  if (prepared.score(oskra::detail::compile_pattern(pattern), pattern.data()) != user_score) {
    std::abort();
  }

  const oskra::Rule user{std::string(pattern), oskra::State::green, "r", "a"};
  const oskra::RuleEngine engine({user});
  if (oskra::as_optional(engine.evaluate(text)) != oskra::plain_evaluate({user}, text)) {
    std::abort();
  }
  return 0;
}
