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
#include "rules/unicode.h"

namespace oskra {
namespace detail {
namespace {

// One backslash-free segment. Greedy: a star first takes nothing, and on a
// later mismatch the latest star takes one more character. Going back to an
// earlier star is never needed, because a later star can absorb whatever
// the earlier one would have taken.
bool match_segment(std::u32string_view p, std::u32string_view t) {
  std::size_t i = 0;
  std::size_t j = 0;
  std::size_t star = std::u32string_view::npos;
  std::size_t star_text = 0;
  while (j < t.size()) {
    if (i < p.size() && p[i] == U'*') {
      star = i++;
      star_text = j;
    } else if (i < p.size() && (p[i] == U'?' || p[i] == t[j])) {
      ++i;
      ++j;
    } else if (star != std::u32string_view::npos) {
      i = star + 1;
      j = ++star_text;
    } else {
      return false;
    }
  }
  while (i < p.size() && p[i] == U'*') ++i;
  return i == p.size();
}

}  // namespace

bool match_code_points(std::u32string_view pattern, std::u32string_view text) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (true) {
    const std::size_t pe = std::min(pattern.find(U'\\', i), pattern.size());
    const std::size_t te = std::min(text.find(U'\\', j), text.size());
    if (!match_segment(pattern.substr(i, pe - i), text.substr(j, te - j))) return false;
    const bool pattern_done = pe == pattern.size();
    const bool text_done = te == text.size();
    if (pattern_done || text_done) return pattern_done && text_done;
    i = pe + 1;
    j = te + 1;
  }
}

bool ascii_iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  const auto fold = [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  };
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (fold(a[k]) != fold(b[k])) return false;
  }
  return true;
}

std::u32string lower_code_points(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  unicode::append_lower_full(text, out);
  return out;
}

}  // namespace detail

std::string normalize(std::string_view text) {
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
  if (begin >= end) return {};

  std::string out(text.substr(begin, end - begin));
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  // Trimming came first, so a blank before a trailing separator stays.
  while (!out.empty() && out.back() == '\\') out.pop_back();
  return out;
}

bool wildcard_match(std::string_view pattern, std::string_view text) {
  return detail::match_code_points(detail::lower_code_points(pattern),
                                   detail::lower_code_points(text));
}

std::size_t match_score(std::string_view pattern, std::string_view path) {
  const std::string np = normalize(pattern);
  if (np.empty()) return 0;
  std::string nt = normalize(path);

  const bool drive = np.starts_with("?:");
  const std::string_view searched = drive ? std::string_view(np).substr(2) : std::string_view(np);
  const bool wildcard = searched.find_first_of("*?") != std::string_view::npos;
  const bool separator = np.find('\\') != std::string::npos;

  // Any drive letter stands in for the drive wildcard.
  if (drive && nt.size() >= 2 && nt[1] == ':') nt[0] = '?';

  bool matched;
  if (!separator) {
    const std::size_t last = nt.rfind('\\');
    const std::string_view name =
        last == std::string::npos ? std::string_view(nt) : std::string_view(nt).substr(last + 1);
    matched = wildcard ? wildcard_match(np, name) : detail::ascii_iequal(np, name);
  } else if (wildcard) {
    matched = wildcard_match(np, nt);
  } else {
    // Everything at or below the named location, but no sibling that only
    // shares the start of its name.
    matched = nt.size() >= np.size() &&
              detail::ascii_iequal(np, std::string_view(nt).substr(0, np.size())) &&
              (nt.size() == np.size() || nt[np.size()] == '\\');
  }
  return matched ? np.size() : 0;
}

}  // namespace oskra
