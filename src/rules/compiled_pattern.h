// The engine's fast form of `match_score`. Each rule pattern is compiled
// once into a few numbers: where its normalised form lies in the text it
// was compiled from, its shape, its fixed ends. The text is not copied:
// compiled patterns are compared with it as written, reading "/" as "\" and
// folding "A" to "Z" as they go. Each path is normalised once per
// evaluation, into a buffer on the stack unless it is long. A path that is
// all ASCII (the usual case) is compared byte by byte, folding its case as
// it is read; any other path is lower-cased to code points once, when a
// wildcard pattern first needs it, and so is a wildcard pattern outside
// ASCII when it is tried. Pattern shapes that real rule lists hardly use go
// to the plain scorer. Scores are identical to `match_score` for every
// pattern and path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
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
  // The normalised pattern: where it lies in the text compiled from, and
  // its length, which a match scores. It still has "/" where the
  // normalised form has "\".
  std::uint32_t start = 0;
  std::uint32_t size = 0;
  std::uint32_t separators = 0;  // "\" and "/" in the compared part
  // Wildcard shapes: the fixed ends of the compared part lower-cased, in
  // code points.
  std::uint32_t head = 0;
  std::uint32_t tail = 0;
  PatternShape shape = PatternShape::never;
  // A path pattern beginning with "?:", which stands for any drive letter:
  // the rest of it, the compared part, is compared with a path's third
  // byte on when the path's second byte is ':' (other paths are rare, and
  // scored plainly). Without it the compared part is the whole pattern.
  bool drive = false;
  // Wildcard shapes: every byte of the compared part is ASCII, so its
  // bytes through `pattern_byte` are its lower-cased code points.
  bool ascii = true;
  // Wildcard shapes: every lower-cased code point of the compared part is
  // ASCII; otherwise no all-ASCII text matches it.
  bool ascii_matchable = true;
};

// Compiles `pattern`; the result locates its normalised form in `pattern`
// itself, which must be kept. Throws std::length_error for a pattern of 4
// GiB or more.
CompiledPattern compile_pattern(std::string_view pattern);

// The normalised pattern of `compiled`, compiled from the text at `base`
// (with "/" where the normalised form has "\").
inline std::string_view written_form(const CompiledPattern& compiled, const char* base) {
  return std::string_view(base + compiled.start, compiled.size);
}

// One path, normalised once, scored against any number of patterns.
class PreparedPath {
 public:
  explicit PreparedPath(std::string_view path);
  // `normalized_` may point into the object itself.
  PreparedPath(const PreparedPath&) = delete;
  PreparedPath& operator=(const PreparedPath&) = delete;

  // The same value as match_score(pattern, path) for the pattern `compiled`
  // was made from, which starts at `base`.
  std::size_t score(const CompiledPattern& compiled, const char* base);

  // The last component, as `match_score` compares a name pattern with it.
  std::string_view name() const { return normalized_.substr(name_start_); }
  // folded_hash(name()), worked out once.
  std::uint64_t name_hash() {
    if (!name_hash_ready_) {
      name_hash_ = folded_hash(name());
      name_hash_ready_ = true;
    }
    return name_hash_;
  }
  // False when the path's second character is certainly not ':', so no
  // path pattern beginning with "?:" can match it.
  bool may_have_drive() const { return may_have_drive_; }

 private:
  // Whether `text` (the path or its last component) matches the wildcard
  // pattern `c`, whose compared part is `compared`; `ascii` says whether
  // `text` is all ASCII, and `lowered` gives its lower-cased code points
  // when it is not. Kept out of line: it is large, and `score` small
  // enough to go inline into the loop over a rule list without it.
  template <class Lowered>
  [[gnu::noinline]] bool glob(const CompiledPattern& c, std::string_view compared,
                              std::string_view text, bool ascii, Lowered lowered);
  // Lower-cases a wildcard pattern's compared part outside ASCII into
  // `pattern_`, a run of stars as one. False when it holds more units
  // other than "*" than `text_units`, each of which takes one unit of the
  // text: then it cannot match, and a long pattern is not lower-cased for
  // a short text.
  bool lower_pattern(std::string_view compared, std::size_t text_units);
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
  std::u32string pattern_;  // see `lower_pattern`
  bool name_hash_ready_ = false;
  std::uint64_t name_hash_ = 0;
};

}  // namespace oskra::detail
