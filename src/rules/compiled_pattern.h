// The engine's fast form of `match_score`. Each rule pattern is compiled
// once: normalised, sorted into a shape, case-folded, its fixed ends found.
// Each path is normalised once per evaluation, into a buffer on the stack
// unless it is long. A path that is all ASCII (the usual case) is compared
// byte by byte, folding its case as it is read; any other path is lower-
// cased to code points once, when a wildcard pattern first needs it.
// Pattern shapes that real rule lists hardly use go to the plain scorer.
// Scores are identical to `match_score` for every pattern and path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "rules/matching.h"
#include "rules/rules.h"

namespace oskra::detail {

enum class PatternShape : std::uint8_t {
  never,  // normalises to nothing
  literal_name,
  literal_path,
  wildcard_name,
  wildcard_path,
  plain,  // a name pattern beginning with "?:": scored by `score_normalized`
};

struct CompiledPattern {
  std::string normalized;  // a match scores its length
  PatternShape shape = PatternShape::never;
  // A path pattern beginning with "?:", which stands for any drive letter:
  // the rest of it is compared with a path's third byte on when the path's
  // second byte is ':' (other paths are rare, and scored plainly).
  bool drive = false;
  // The part compared (`normalized`, after "?:" for a drive pattern), with
  // "A" to "Z" folded for a literal shape; for a wildcard shape, `lowered`
  // as bytes when every code point of it is ASCII. Otherwise it is empty
  // and `ascii_matchable` is false: a character outside ASCII matches no
  // all-ASCII text.
  std::string folded;
  bool ascii_matchable = true;
  std::u32string lowered;      // wildcard shapes: the compared part, lower-cased
  FixedEnds ends;              // wildcard shapes: of `lowered` (and `folded`)
  std::size_t separators = 0;  // backslashes in the compared part
};

CompiledPattern compile_pattern(std::string_view pattern);

// One path, normalised once, scored against any number of patterns.
class PreparedPath {
 public:
  explicit PreparedPath(std::string_view path);
  // `normalized_` may point into the object itself.
  PreparedPath(const PreparedPath&) = delete;
  PreparedPath& operator=(const PreparedPath&) = delete;

  // The same value as match_score(pattern, path) for the pattern `compiled`
  // was made from.
  std::size_t score(const CompiledPattern& compiled);

  // The last component, as `match_score` compares a name pattern with it.
  std::string_view name() const { return normalized_.substr(name_start_); }
  // False when the path's second character is certainly not ':', so no
  // path pattern beginning with "?:" can match it.
  bool may_have_drive() const { return may_have_drive_; }

 private:
  // Whether `text` (the path or its last component) matches the wildcard
  // pattern `c`; `ascii` says whether `text` is all ASCII, and `lowered`
  // gives its lower-cased code points when it is not.
  template <class Lowered>
  bool glob(const CompiledPattern& c, std::string_view text, bool ascii, Lowered lowered);
  const std::u32string& lowered();
  // The last component alone, lower-cased: name patterns never need more,
  // and a deep path is long.
  const std::u32string& lowered_name();

  // Holds the normalised path unless it is longer; `heap_` holds it then.
  static constexpr std::size_t INLINE_BYTES = 512;
  char inline_[INLINE_BYTES];
  std::unique_ptr<char[]> heap_;
  std::string_view normalized_;
  bool ascii_ = true;           // no byte above 0x7F
  bool name_ascii_ = true;      // none in the last component
  std::size_t name_start_ = 0;  // first byte after the last backslash
  std::size_t separators_ = 0;
  bool has_drive_letter_ = false;  // second byte is ':'
  bool may_have_drive_ = false;
  bool lowered_ready_ = false;
  std::u32string lowered_;
  bool lowered_name_ready_ = false;
  std::u32string lowered_name_;
};

// Equality and hash under which "A" to "Z" equal "a" to "z", for looking up
// a path's last component among literal name patterns.
struct FoldedEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const;
};
struct FoldedHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const;
};

// A list of rules ready to judge paths: every pattern compiled once, and
// arranged so that most patterns that cannot match a path are never tried.
// Plain literal names (most of a typical list) are looked up by the path's
// last component in one step. Path patterns beginning with "?:" are tried
// only on paths whose second character is ':', which almost no Linux path
// has. Every other pattern that can match anything is tried in turn.
class CompiledRules {
 public:
  // `source` is the verdicts' source text, SOURCE_USER or SOURCE_BUILTIN.
  CompiledRules(const std::vector<Rule>& rules, std::string_view source);

  // The winner among these rules: the highest score, and among equal scores
  // the lowest position. A score of 0 means no rule matched.
  struct Best {
    std::size_t score = 0;
    std::size_t position = 0;
  };
  Best best(PreparedPath& path) const;

  // The verdict of the rule at `position`, made once: every entry a rule
  // judges shares it.
  const Mark& mark(std::size_t position) const { return marks_[position]; }

 private:
  std::vector<CompiledPattern> patterns_;  // in rule order
  std::vector<Mark> marks_;                // in rule order
  std::vector<std::size_t> drive_paths_;   // positions of "?:" path patterns, ascending
  std::vector<std::size_t> others_;        // positions of the rest tried, ascending
  // Folded literal name to the lowest position with it (same name, same
  // score, so the first one wins).
  std::unordered_map<std::string, std::size_t, FoldedHash, FoldedEqual> names_;
};

}  // namespace oskra::detail
