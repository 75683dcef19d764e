// The pattern language: normalisation, the anchored wildcard match and the
// score of one pattern against one path. These are the plain, call-by-call
// forms; the rule engine precomputes the same steps once per rule and once
// per path and must agree with them.
#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "rules/matching.h"
#include "rules/rules.h"
#include "text/unicode.h"

namespace oskra {
namespace detail {

std::u32string lower_code_points(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  unicode::append_lower_full(text, out);
  return out;
}

Span normalized_span(std::string_view text) {
  // Trim White_Space on both ends, in whole characters. Ill-formed bytes
  // count as U+FFFD, which is not White_Space, so they stay.
  std::size_t begin = 0;
  while (begin < text.size()) {
    const unicode::Decoded d = unicode::decode(text, begin);
    if (!unicode::is_white_space(d.code_point)) break;
    begin += d.length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    // The last character starts at the nearest lead byte at most three
    // bytes back. A lead byte always starts a character when decoding from
    // the front too, so decoding from it gives the same answer; when it
    // does not reach `end`, the last byte is ill-formed and stays.
    std::size_t start = end - 1;
    while (start > begin && end - start < 4 &&
           (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
      --start;
    }
    const unicode::Decoded d = unicode::decode(text.substr(0, end), start);
    if (start + d.length != end || !unicode::is_white_space(d.code_point)) break;
    end = start;
  }
  // Trimming came first, so a blank before a trailing separator stays.
  while (end > begin && (text[end - 1] == '\\' || text[end - 1] == '/')) --end;
  return Span{begin, end};
}

std::size_t normalize_into(std::string_view text, char* out) {
  const Span span = normalized_span(text);
  for (std::size_t k = span.begin; k < span.end; ++k) {
    *out++ = text[k] == '/' ? '\\' : text[k];
  }
  return span.end - span.begin;
}

}  // namespace detail

std::string normalize(std::string_view text) {
  std::string out(text.size(), '\0');
  out.resize(detail::normalize_into(text, out.data()));
  return out;
}

bool wildcard_match(std::string_view pattern, std::string_view text) {
  const std::u32string p = detail::lower_code_points(pattern);
  return detail::match_glob(std::u32string_view(p), detail::fixed_ends<char32_t>(p),
                            std::u32string_view(detail::lower_code_points(text)),
                            detail::code_point, detail::code_point);
}

namespace detail {

std::size_t score_normalized(std::string_view np, std::string_view path) {
  if (np.empty()) return 0;
  std::string nt(path);

  const bool drive = np.starts_with("?:");
  const bool wildcard = (drive ? np.substr(2) : np).find_first_of("*?") != std::string_view::npos;
  const bool separator = np.find('\\') != std::string_view::npos;

  // Any drive letter stands in for the drive wildcard.
  if (drive && nt.size() >= 2 && nt[1] == ':') nt[0] = '?';

  bool matched;
  if (!separator) {
    const std::size_t last = nt.rfind('\\');
    const std::string_view name =
        last == std::string::npos ? std::string_view(nt) : std::string_view(nt).substr(last + 1);
    matched = wildcard ? wildcard_match(np, name) : ascii_iequal(np, name);
  } else if (wildcard) {
    matched = wildcard_match(np, nt);
  } else {
    // Everything at or below the named location, but no sibling that only
    // shares the start of its name.
    matched = nt.size() >= np.size() &&
              ascii_iequal(np, std::string_view(nt).substr(0, np.size())) &&
              (nt.size() == np.size() || nt[np.size()] == '\\');
  }
  return matched ? np.size() : 0;
}

}  // namespace detail

std::size_t match_score(std::string_view pattern, std::string_view path) {
  return detail::score_normalized(normalize(pattern), normalize(path));
}

}  // namespace oskra
