#include "rules/compiled_pattern.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "rules/matching.h"
#include "text/unicode.h"

namespace oskra::detail {
namespace {

bool is_separator(char b) { return b == '\\' || b == '/'; }

std::uint32_t narrow(std::size_t n) {
  if (n > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("pattern too long");
  return static_cast<std::uint32_t>(n);
}

// `score_normalized` of a pattern's written span, once it has "\" for
// every "/". Rare, so out of line.
[[gnu::noinline]] std::size_t score_written(std::string_view written, std::string_view path) {
  std::string normalized(written);
  std::replace(normalized.begin(), normalized.end(), '/', '\\');
  return score_normalized(normalized, path);
}

// Calls `each` with every lower-cased code point of `text` (ill-formed parts
// as U+FFFD), "/" as "\"; stops early when `each` returns false.
template <class Each>
void for_each_lowered(std::string_view text, Each each) {
  for (std::size_t at = 0; at < text.size();) {
    const unicode::Decoded d = unicode::decode(text, at);
    at += d.length;
    const unicode::LowerCase lower = unicode::to_lower_full(d.code_point);
    for (std::uint8_t k = 0; k < lower.size; ++k) {
      const char32_t cp = lower.code_points[k];
      if (!each(cp == U'/' ? U'\\' : cp)) return;
    }
  }
}

}  // namespace

CompiledPattern compile_pattern(std::string_view pattern) {
  CompiledPattern c;
  const Span span = normalized_span(pattern);
  c.start = narrow(span.begin);
  c.size = narrow(span.end - span.begin);
  const std::string_view np = pattern.substr(span.begin, c.size);
  if (np.empty()) return c;
  const bool drive = np.starts_with("?:");
  const bool path = std::any_of(np.begin(), np.end(), is_separator);
  if (drive && !path) {
    // Its "?:" can stand for a drive letter at the start of a last
    // component that is the whole path: rare enough for the plain scorer.
    c.shape = PatternShape::plain;
    return c;
  }
  c.drive = drive;
  const std::string_view compared = drive ? np.substr(2) : np;
  c.separators = narrow(
      static_cast<std::size_t>(std::count_if(compared.begin(), compared.end(), is_separator)));
  if (compared.find_first_of("*?") == std::string_view::npos) {
    c.shape = path ? PatternShape::literal_path : PatternShape::literal_name;
    return c;
  }
  c.shape = path ? PatternShape::wildcard_path : PatternShape::wildcard_name;
  c.ascii = std::all_of(compared.begin(), compared.end(),
                        [](char b) { return static_cast<unsigned char>(b) < 0x80; });
  if (c.ascii) {
    const FixedEnds ends = fixed_ends(compared);
    c.head = narrow(ends.head);
    c.tail = narrow(ends.tail);
    return c;
  }
  // The fixed ends of the lower-cased form, counted in one pass without
  // keeping it: a long pattern would take four bytes per character.
  std::size_t units = 0;
  std::size_t first_wildcard = std::string_view::npos;
  std::size_t last_wildcard = 0;
  for_each_lowered(compared, [&](char32_t cp) {
    if (is_wildcard(cp)) {
      if (first_wildcard == std::string_view::npos) first_wildcard = units;
      last_wildcard = units;
    }
    if (cp >= 0x80) c.ascii_matchable = false;
    ++units;
    return true;
  });
  c.head = narrow(first_wildcard);
  c.tail = narrow(units - last_wildcard - 1);
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

bool PreparedPath::lower_pattern(std::string_view compared, std::size_t text_units) {
  pattern_.clear();
  std::size_t fixed = 0;
  bool fits = true;
  for_each_lowered(compared, [&](char32_t cp) {
    if (cp == U'*') {
      if (pattern_.empty() || pattern_.back() != U'*') pattern_.push_back(cp);
      return true;
    }
    fits = ++fixed <= text_units;
    if (fits) pattern_.push_back(cp);
    return fits;
  });
  return fits;
}

template <class Lowered>
bool PreparedPath::glob(const CompiledPattern& c, std::string_view compared, std::string_view text,
                        bool ascii, Lowered lowered) {
  // A run of stars matches what one star does, so the ends stay the same.
  const FixedEnds ends{c.head, c.tail};
  if (ascii) {
    if (!c.ascii_matchable) return false;
    if (c.ascii) return match_glob(compared, ends, text, pattern_byte, text_byte);
    return lower_pattern(compared, text.size()) &&
           match_glob(std::u32string_view(pattern_), ends, text, code_point, text_byte);
  }
  if (!ascii_ends_may_match(compared, ends, text)) return false;
  const std::u32string_view lowered_text = lowered();
  if (c.ascii) return match_glob(compared, ends, lowered_text, pattern_byte, code_point);
  return lower_pattern(compared, lowered_text.size()) &&
         match_glob(std::u32string_view(pattern_), ends, lowered_text, code_point, code_point);
}

std::size_t PreparedPath::score(const CompiledPattern& c, const char* base) {
  const std::string_view written = written_form(c, base);
  // What a path pattern is compared with.
  std::string_view text = normalized_;
  std::size_t text_separators = separators_;
  if (c.drive) {
    if (!has_drive_letter_) {
      // Only a wildcard "?:" still matches, when the first character takes
      // several bytes and the second is ':'. Rare: the plain scorer decides.
      const bool rare = c.shape == PatternShape::wildcard_path && may_have_drive_;
      return rare ? score_written(written, normalized_) : 0;
    }
    // `match_score` puts '?' in place of the drive letter, so the pattern's
    // "?:" matches the path's first two bytes (two characters: a byte
    // before ':' is a character of its own) by construction.
    text.remove_prefix(2);
    if (normalized_.front() == '\\') --text_separators;  // now the '?'
  }
  const std::string_view compared = c.drive ? written.substr(2) : written;
  bool matched = false;
  switch (c.shape) {
    case PatternShape::never:
      return 0;
    case PatternShape::plain:
      // No separator of either kind, so the written span is the normalised form.
      return score_normalized(written, normalized_);
    case PatternShape::literal_name:
      matched = pattern_equal(compared, name());
      break;
    case PatternShape::literal_path: {
      // The location itself or anything below it, never a sibling that only
      // shares the start of its name.
      const std::size_t n = compared.size();
      matched = text.size() >= n && (text.size() == n || text[n] == '\\') &&
                pattern_equal(compared, text.substr(0, n));
      break;
    }
    case PatternShape::wildcard_name:
      matched = glob(c, compared, name(), name_ascii_,
                     [this] { return std::u32string_view(lowered_name()); });
      break;
    case PatternShape::wildcard_path: {
      // Only a backslash matches a backslash, so the counts must agree.
      if (text_separators != c.separators) return 0;
      const std::size_t skipped = normalized_.size() - text.size();
      matched = glob(c, compared, text, ascii_,
                     [this, skipped] { return std::u32string_view(lowered()).substr(skipped); });
      break;
    }
  }
  return matched ? c.size : 0;
}

}  // namespace oskra::detail
