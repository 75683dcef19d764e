#include "rules/compiled_pattern.h"

#include <algorithm>

#include "rules/matching.h"
#include "rules/rules.h"

namespace oskra::detail {

CompiledPattern compile_pattern(std::string_view pattern) {
  CompiledPattern c;
  c.normalized = normalize(pattern);
  const std::string_view np = c.normalized;
  if (np.empty()) return c;
  const bool drive = np.starts_with("?:");
  const bool path = np.find('\\') != std::string_view::npos;
  if (drive && !path) {
    // Its "?:" can stand for a drive letter at the start of a last
    // component that is the whole path: rare enough for the plain scorer.
    c.shape = PatternShape::plain;
    return c;
  }
  c.drive = drive;
  const std::string_view compared = drive ? np.substr(2) : np;
  c.separators = static_cast<std::size_t>(std::count(compared.begin(), compared.end(), '\\'));
  if (compared.find_first_of("*?") == std::string_view::npos) {
    c.shape = path ? PatternShape::literal_path : PatternShape::literal_name;
    for (const char b : compared) c.folded.push_back(fold_ascii(b));
    return c;
  }
  c.shape = path ? PatternShape::wildcard_path : PatternShape::wildcard_name;
  c.lowered = lower_code_points(compared);
  c.ends = fixed_ends<char32_t>(c.lowered);
  c.ascii_matchable =
      std::all_of(c.lowered.begin(), c.lowered.end(), [](char32_t cp) { return cp < 0x80; });
  if (c.ascii_matchable) {
    for (const char32_t cp : c.lowered) c.folded.push_back(static_cast<char>(cp));
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
  // A first character takes at most four bytes.
  may_have_drive_ = has_drive_letter_ ||
                    (!ascii_ && normalized_.substr(1, 4).find(':') != std::string_view::npos);
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

template <class Lowered>
bool PreparedPath::glob(const CompiledPattern& c, std::string_view text, bool ascii,
                        Lowered lowered) {
  if (ascii) {
    return c.ascii_matchable &&
           match_glob<char>(c.folded, c.ends, text, [](char b) { return fold_ascii(b); });
  }
  return ascii_ends_may_match(c.lowered, c.ends, text) &&
         match_glob<char32_t>(c.lowered, c.ends, lowered(), [](char32_t cp) { return cp; });
}

std::size_t PreparedPath::score(const CompiledPattern& c) {
  // What a path pattern is compared with.
  std::string_view text = normalized_;
  std::size_t text_separators = separators_;
  if (c.drive) {
    if (!has_drive_letter_) {
      // Only a wildcard "?:" still matches, when the first character takes
      // several bytes and the second is ':'. Rare: the plain scorer decides.
      const bool rare = c.shape == PatternShape::wildcard_path && may_have_drive_;
      return rare ? score_normalized(c.normalized, normalized_) : 0;
    }
    // `match_score` puts '?' in place of the drive letter, so the pattern's
    // "?:" matches the path's first two bytes (two characters: a byte
    // before ':' is a character of its own) by construction.
    text.remove_prefix(2);
    if (normalized_.front() == '\\') --text_separators;  // now the '?'
  }
  bool matched = false;
  switch (c.shape) {
    case PatternShape::never:
      return 0;
    case PatternShape::plain:
      return score_normalized(c.normalized, normalized_);
    case PatternShape::literal_name:
      matched = folded_equal(c.folded, name());
      break;
    case PatternShape::literal_path: {
      // The location itself or anything below it, never a sibling that only
      // shares the start of its name.
      const std::size_t n = c.folded.size();
      matched = text.size() >= n && (text.size() == n || text[n] == '\\') &&
                folded_equal(c.folded, text.substr(0, n));
      break;
    }
    case PatternShape::wildcard_name:
      matched =
          glob(c, name(), name_ascii_, [this] { return std::u32string_view(lowered_name()); });
      break;
    case PatternShape::wildcard_path: {
      // Only a backslash matches a backslash, so the counts must agree.
      if (text_separators != c.separators) return 0;
      const std::size_t skipped = normalized_.size() - text.size();
      matched = glob(c, text, ascii_,
                     [this, skipped] { return std::u32string_view(lowered()).substr(skipped); });
      break;
    }
  }
  return matched ? c.normalized.size() : 0;
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
    const CompiledPattern& c = patterns_.emplace_back(compile_pattern(r.pattern));
    if (c.shape == PatternShape::never) continue;
    if (c.shape == PatternShape::literal_name) {
      names_.try_emplace(c.folded, k);  // keeps the first position
    } else if (c.drive) {
      drive_paths_.push_back(k);
    } else {
      others_.push_back(k);
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
  for (const std::size_t k : others_) consider(path.score(patterns_[k]), k);
  if (path.may_have_drive()) {
    for (const std::size_t k : drive_paths_) consider(path.score(patterns_[k]), k);
  }
  if (!names_.empty()) {
    const auto found = names_.find(path.name());
    if (found != names_.end()) consider(path.name().size(), found->second);
  }
  return best;
}

}  // namespace oskra::detail
