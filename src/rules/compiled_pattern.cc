#include "rules/compiled_pattern.h"

#include <algorithm>

#include "rules/matching.h"
#include "rules/rules.h"

namespace oskra::detail {
namespace {

constexpr auto FOLD_BYTE = [](char c) { return fold_ascii(c); };
constexpr auto SAME_CODE_POINT = [](char32_t c) { return c; };

}  // namespace

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
  if (wildcard) {
    c.lowered = lower_code_points(np);
    c.ascii_matchable =
        std::all_of(c.lowered.begin(), c.lowered.end(), [](char32_t cp) { return cp < 0x80; });
    if (c.ascii_matchable) {
      for (const char32_t cp : c.lowered) c.folded.push_back(static_cast<char>(cp));
    }
  } else {
    for (const char b : np) c.folded.push_back(fold_ascii(b));
  }
  return c;
}

PreparedPath::PreparedPath(std::string_view path) {
  char* out = inline_;
  if (path.size() > INLINE_BYTES) {
    heap_ = std::make_unique_for_overwrite<char[]>(path.size());
    out = heap_.get();
  }
  normalized_ = std::string_view(out, normalize_into(path, out));
  // Branch-free, so the compiler can take many bytes per step.
  std::size_t separators = 0;
  unsigned high_bits = 0;
  for (const char b : normalized_) {
    separators += b == '\\' ? 1 : 0;
    high_bits |= static_cast<unsigned char>(b);
  }
  separators_ = separators;
  ascii_ = (high_bits & 0x80) == 0;
  const std::size_t last = normalized_.rfind('\\');
  name_start_ = last == std::string_view::npos ? 0 : last + 1;
  name_ascii_ =
      ascii_ ||
      std::all_of(normalized_.begin() + static_cast<std::ptrdiff_t>(name_start_), normalized_.end(),
                  [](char b) { return static_cast<unsigned char>(b) < 0x80; });
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
    lowered_name_ = lower_code_points(normalized_.substr(name_start_));
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
  const std::string_view fp = c.folded;
  const std::string_view nt = normalized_;
  const bool substituted = c.drive && has_drive_letter_;
  bool matched = false;
  switch (c.kind) {
    case PatternClass::empty:
      return 0;
    case PatternClass::literal_name: {
      if (substituted && substituted_name_is_whole_) {
        matched = nt.size() == fp.size() && folded_equal(fp.substr(1), nt.substr(1));
      } else {
        matched = folded_equal(fp, nt.substr(name_start_));
      }
      break;
    }
    case PatternClass::literal_path: {
      const std::size_t skip = substituted ? 1 : 0;
      matched = nt.size() >= fp.size() && (nt.size() == fp.size() || nt[fp.size()] == '\\') &&
                folded_equal(fp.substr(skip), nt.substr(skip, fp.size() - skip));
      break;
    }
    case PatternClass::wildcard_name: {
      const bool whole = substituted && substituted_name_is_whole_;
      const std::string_view text = whole ? nt.substr(2) : nt.substr(name_start_);
      if (whole ? ascii_ : name_ascii_) {
        if (!c.ascii_matchable) return 0;
        matched = match_glob(whole ? fp.substr(2) : fp, text, FOLD_BYTE);
        break;
      }
      const std::u32string_view p = whole ? std::u32string_view(c.lowered).substr(2) : c.lowered;
      if (!fixed_ends_may_match(p, text)) return 0;
      matched = whole ? match_glob(p, std::u32string_view(lowered()).substr(2), SAME_CODE_POINT)
                      : match_glob(p, std::u32string_view(lowered_name()), SAME_CODE_POINT);
      break;
    }
    case PatternClass::wildcard_path: {
      // Only a backslash matches a backslash, so the counts must agree; the
      // substitution may have turned a leading one into '?'.
      const std::size_t text_separators =
          separators_ - ((substituted && nt.front() == '\\') ? 1 : 0);
      if (text_separators != c.separators) return 0;
      const std::size_t skip = substituted ? 2 : 0;
      if (ascii_) {
        if (!c.ascii_matchable) return 0;
        matched = match_glob(fp.substr(skip), nt.substr(skip), FOLD_BYTE);
        break;
      }
      const std::u32string_view p = std::u32string_view(c.lowered).substr(skip);
      if (!fixed_ends_may_match(p, nt.substr(skip))) return 0;
      matched = match_glob(p, std::u32string_view(lowered()).substr(skip), SAME_CODE_POINT);
      break;
    }
  }
  return matched ? np.size() : 0;
}

bool FoldedEqual::operator()(std::string_view a, std::string_view b) const {
  return ascii_iequal(a, b);
}

std::size_t FoldedHash::operator()(std::string_view text) const {
  // FNV-1a over the folded bytes.
  std::uint64_t hash = 14695981039346656037u;
  for (const char b : text) {
    hash ^= static_cast<unsigned char>(fold_ascii(b));
    hash *= 1099511628211u;
  }
  return static_cast<std::size_t>(hash);
}

CompiledRules::CompiledRules(const std::vector<Rule>& rules, std::string_view source) {
  patterns_.reserve(rules.size());
  marks_.reserve(rules.size());
  for (std::size_t k = 0; k < rules.size(); ++k) {
    const Rule& r = rules[k];
    marks_.push_back(Mark{r.state, r.pattern, source, r.reason, r.action});
    const CompiledPattern& c = patterns_.emplace_back(compile_pattern(rules[k].pattern));
    if (c.kind == PatternClass::empty) continue;
    if (c.kind == PatternClass::literal_name && !c.drive) {
      names_.try_emplace(c.folded, k);  // keeps the first position
    } else if (c.kind == PatternClass::literal_path && c.drive) {
      drive_literal_paths_.push_back(k);
    } else if (c.kind == PatternClass::wildcard_path && c.drive) {
      drive_wildcard_paths_.push_back(k);
    } else {
      tried_.push_back(k);
    }
  }
}

CompiledRules::Best CompiledRules::best(PreparedPath& path) const {
  Best best;
  const auto consider = [&best](std::size_t score, std::size_t position) {
    if (score > best.score || (score != 0 && score == best.score && position < best.position)) {
      best = Best{score, position};
    }
  };
  for (const std::size_t k : tried_) consider(path.score(patterns_[k]), k);
  // A "?:" path pattern matches only a path whose second character is ':'.
  // A literal one compares bytes, and so does a wildcard one against an
  // all-ASCII path; a wildcard one against any other path compares decoded
  // characters, whose second need not be the second byte, so it is tried.
  if (path.has_drive_letter()) {
    for (const std::size_t k : drive_literal_paths_) consider(path.score(patterns_[k]), k);
  }
  if (path.has_drive_letter() || !path.ascii()) {
    for (const std::size_t k : drive_wildcard_paths_) consider(path.score(patterns_[k]), k);
  }
  if (!names_.empty()) {
    const auto found = names_.find(path.name());
    if (found != names_.end()) consider(path.name().size(), found->second);
  }
  return best;
}

}  // namespace oskra::detail
