// The engine's fast form of `match_score`: each rule pattern is normalised,
// classified and case-folded once, each path is normalised once per
// evaluation, into a buffer on the stack unless it is long. A path that is
// all ASCII (the usual case) is compared byte by byte, folding its case as
// it is read; any other path is lower-cased to code points once, when a
// wildcard rule first needs it. Scores are identical to `match_score` for
// every pattern and path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "rules/rules.h"

namespace oskra::detail {

enum class PatternClass : std::uint8_t {
  empty,  // normalises to nothing: never matches
  literal_name,
  wildcard_name,
  literal_path,
  wildcard_path,
};

struct CompiledPattern {
  std::string normalized;
  // What an all-ASCII path is compared with. Literal classes: `normalized`
  // with "A" to "Z" folded. Wildcard classes: `lowered` as bytes when every
  // code point of it is ASCII; otherwise empty, and `ascii_matchable` is
  // false, since a character outside ASCII can only match another one.
  std::string folded;
  bool ascii_matchable = true;
  std::u32string lowered;  // lower-cased code points; wildcard classes only
  PatternClass kind = PatternClass::empty;
  bool drive = false;          // begins with "?:"
  std::size_t separators = 0;  // backslashes in `normalized`
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
  bool has_drive_letter() const { return has_drive_letter_; }
  bool ascii() const { return ascii_; }

 private:
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
  bool substituted_name_is_whole_ = false;
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
// last component in one step. A path pattern that begins with "?:" needs a
// path whose second character is ':', so it is skipped for paths that
// plainly do not have one (every path on Linux). Everything else is tried
// in turn.
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
  std::vector<CompiledPattern> patterns_;          // in rule order
  std::vector<Mark> marks_;                        // in rule order
  std::vector<std::size_t> tried_;                 // positions tried for every path, ascending
  std::vector<std::size_t> drive_literal_paths_;   // "?:" literal paths, ascending
  std::vector<std::size_t> drive_wildcard_paths_;  // "?:" wildcard paths, ascending
  // Folded literal name to the lowest position with it (same name, same
  // score, so the first one wins).
  std::unordered_map<std::string, std::size_t, FoldedHash, FoldedEqual> names_;
};

}  // namespace oskra::detail
