#include "rules/compiled_pattern.h"

#include <algorithm>

#include "rules/matching.h"
#include "rules/rules.h"

namespace oskra::detail {

CompiledPattern compile_pattern(std::string_view pattern) {
  CompiledPattern c;
  c.normalized = normalize(pattern);
  if (c.normalized.empty()) return c;
  const std::string_view np = c.normalized;
  c.drive = np.starts_with("?:");
  const bool wildcard = (c.drive ? np.substr(2) : np).find_first_of("*?") != std::string_view::npos;
  c.separators = static_cast<std::size_t>(std::count(np.begin(), np.end(), '\\'));
  if (c.separators == 0) {
    c.kind = wildcard ? PatternClass::wildcard_name : PatternClass::literal_name;
  } else {
    c.kind = wildcard ? PatternClass::wildcard_path : PatternClass::literal_path;
  }
  if (wildcard) c.lowered = lower_code_points(np);
  return c;
}

PreparedPath::PreparedPath(std::string_view path) : normalized_(normalize(path)) {
  const std::size_t last = normalized_.rfind('\\');
  name_start_ = last == std::string::npos ? 0 : last + 1;
  separators_ = static_cast<std::size_t>(std::count(normalized_.begin(), normalized_.end(), '\\'));
  has_drive_letter_ = normalized_.size() >= 2 && normalized_[1] == ':';
  // After the substitution no backslash is left when there was none or the
  // only one was the first byte: the last component is then the whole path.
  substituted_name_is_whole_ = has_drive_letter_ && name_start_ <= 1;
}

const std::u32string& PreparedPath::lowered() {
  if (!lowered_ready_) {
    lowered_ = lower_code_points(normalized_);
    lowered_ready_ = true;
  }
  return lowered_;
}

const std::u32string& PreparedPath::lowered_name() {
  if (!lowered_name_ready_) {
    // Lower-casing maps code point by code point, so lowering the last
    // component alone equals taking it from the lowered whole.
    lowered_name_ = lower_code_points(std::string_view(normalized_).substr(name_start_));
    lowered_name_ready_ = true;
  }
  return lowered_name_;
}

// With a drive pattern and a path whose second byte is ':', match_score
// compares against the path with its first byte replaced by '?'. The
// pattern begins with "?:" too, so those two bytes (and, after decoding, the
// two code points: a byte before ':' is always one character or one
// ill-formed unit) match by construction and the rest is compared alone.
std::size_t PreparedPath::score(const CompiledPattern& c) {
  const std::string_view np = c.normalized;
  const std::string_view nt = normalized_;
  const bool substituted = c.drive && has_drive_letter_;
  bool matched = false;
  switch (c.kind) {
    case PatternClass::empty:
      return 0;
    case PatternClass::literal_name: {
      if (substituted && substituted_name_is_whole_) {
        matched = nt.size() == np.size() && ascii_iequal(np.substr(1), nt.substr(1));
      } else {
        matched = ascii_iequal(np, nt.substr(name_start_));
      }
      break;
    }
    case PatternClass::literal_path: {
      const std::size_t skip = substituted ? 1 : 0;
      matched = nt.size() >= np.size() &&
                ascii_iequal(np.substr(skip), nt.substr(skip, np.size() - skip)) &&
                (nt.size() == np.size() || nt[np.size()] == '\\');
      break;
    }
    case PatternClass::wildcard_name: {
      const std::u32string_view p = c.lowered;
      if (substituted && substituted_name_is_whole_) {
        matched = match_code_points(p.substr(2), std::u32string_view(lowered()).substr(2));
      } else {
        matched = match_code_points(p, lowered_name());
      }
      break;
    }
    case PatternClass::wildcard_path: {
      // Only a backslash matches a backslash, so the counts must agree; the
      // substitution may have turned a leading one into '?'.
      const std::size_t text_separators =
          separators_ - ((substituted && nt.front() == '\\') ? 1 : 0);
      if (text_separators != c.separators) return 0;
      const std::u32string_view text = lowered();
      const std::u32string_view p = c.lowered;
      matched =
          substituted ? match_code_points(p.substr(2), text.substr(2)) : match_code_points(p, text);
      break;
    }
  }
  return matched ? np.size() : 0;
}

}  // namespace oskra::detail
