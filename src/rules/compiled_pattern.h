// The engine's fast form of `match_score`: each rule pattern is normalised
// and classified once, each path is normalised (and lower-cased, when a
// wildcard rule needs it) once per evaluation. Scores are identical to
// `match_score` for every pattern and path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

  // The same value as match_score(pattern, path) for the pattern `compiled`
  // was made from.
  std::size_t score(const CompiledPattern& compiled);

 private:
  const std::u32string& lowered();
  // The last component alone, lower-cased: name patterns never need more,
  // and a deep path is long.
  const std::u32string& lowered_name();

  std::string normalized_;
  std::size_t name_start_ = 0;  // first byte after the last backslash
  std::size_t separators_ = 0;
  bool has_drive_letter_ = false;  // second byte is ':'
  bool substituted_name_is_whole_ = false;
  bool lowered_ready_ = false;
  std::u32string lowered_;
  bool lowered_name_ready_ = false;
  std::u32string lowered_name_;
};

}  // namespace oskra::detail
