// Building blocks shared by the pattern operations and the rule engine.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

namespace oskra::detail {

// ASCII "A" to "Z" to "a" to "z"; every other unit unchanged.
template <class CharT>
constexpr CharT fold_ascii(CharT c) {
  return (c >= CharT('A') && c <= CharT('Z')) ? static_cast<CharT>(c + ('a' - 'A')) : c;
}

// The anchored glob of `wildcard_match` over a lower-cased pattern and a
// text whose units are lower-cased by `lower` as they are read: "*" is any
// run and "?" exactly one unit, neither ever matching "\". Since nothing but
// a backslash matches a backslash, both sides split into the same number of
// backslash-separated segments, and each segment pair is matched with the
// linear greedy glob that backtracks only to the latest star: a later star
// can absorb whatever an earlier one would have taken. O(len(pattern) *
// len(text)) time, constant stack.
//
// The units are code points (text lowered beforehand, `lower` the
// identity), or bytes of an all-ASCII text (`lower` is `fold_ascii`), where a
// byte is a whole character.
template <class CharT, class Lower>
bool match_glob(std::basic_string_view<CharT> pattern, std::basic_string_view<CharT> text,
                Lower lower) {
  constexpr CharT star_unit = CharT('*');
  constexpr CharT any_unit = CharT('?');
  // Segments are short: a plain scan beats a library search call.
  const auto segment_end = [](std::basic_string_view<CharT> s, std::size_t from) {
    while (from < s.size() && s[from] != CharT('\\')) ++from;
    return from;
  };
  // Most candidates fail on their fixed ends, which must begin and end the
  // text unit for unit: everything before the first metacharacter and
  // everything after the last. Checking those first is cheap.
  const auto is_meta = [](CharT c) { return c == star_unit || c == any_unit; };
  std::size_t head = 0;
  while (head < pattern.size() && !is_meta(pattern[head])) ++head;
  if (head == pattern.size() && text.size() != head) return false;
  if (text.size() < head) return false;
  for (std::size_t k = 0; k < head; ++k) {
    if (pattern[k] != lower(text[k])) return false;
  }
  if (head == pattern.size()) return true;
  std::size_t tail = 0;
  while (!is_meta(pattern[pattern.size() - 1 - tail])) ++tail;
  if (text.size() - head < tail) return false;
  for (std::size_t k = 1; k <= tail; ++k) {
    if (pattern[pattern.size() - k] != lower(text[text.size() - k])) return false;
  }

  std::size_t i = 0;
  std::size_t j = 0;
  while (true) {
    const std::size_t pe = segment_end(pattern, i);
    const std::size_t te = segment_end(text, j);
    // One segment pair, pattern[i, pe) against text[j, te).
    std::size_t star = std::basic_string_view<CharT>::npos;
    std::size_t star_text = 0;
    std::size_t a = i;
    std::size_t b = j;
    while (b < te) {
      if (a < pe && pattern[a] == star_unit) {
        star = a++;
        star_text = b;
      } else if (a < pe && (pattern[a] == any_unit || pattern[a] == lower(text[b]))) {
        ++a;
        ++b;
      } else if (star != std::basic_string_view<CharT>::npos) {
        a = star + 1;
        b = ++star_text;
      } else {
        return false;
      }
    }
    while (a < pe && pattern[a] == star_unit) ++a;
    if (a != pe) return false;

    const bool pattern_done = pe == pattern.size();
    const bool text_done = te == text.size();
    if (pattern_done || text_done) return pattern_done && text_done;
    i = pe + 1;
    j = te + 1;
  }
}

// A quick test before a path outside ASCII is lower-cased: false only when
// the fixed ends of `pattern` (lower-cased code points; the parts before the
// first and after the last metacharacter) certainly disagree with `text`
// (UTF-8). Where the text's ends are ASCII, each byte is exactly one
// character and lower-cases to one; past the first other byte nothing is
// concluded.
inline bool fixed_ends_may_match(std::u32string_view pattern, std::string_view text) {
  const auto is_meta = [](char32_t c) { return c == U'*' || c == U'?'; };
  for (std::size_t k = 0; k < pattern.size() && !is_meta(pattern[k]) && k < text.size(); ++k) {
    const auto b = static_cast<unsigned char>(text[k]);
    if (b >= 0x80) break;
    if (pattern[k] != fold_ascii(static_cast<char32_t>(b))) return false;
  }
  std::size_t p = pattern.size();
  std::size_t t = text.size();
  while (p > 0 && !is_meta(pattern[p - 1]) && t > 0) {
    const auto b = static_cast<unsigned char>(text[t - 1]);
    if (b >= 0x80) break;
    if (pattern[p - 1] != fold_ascii(static_cast<char32_t>(b))) return false;
    --p;
    --t;
  }
  return true;
}

inline bool match_code_points(std::u32string_view pattern, std::u32string_view text) {
  return match_glob(pattern, text, [](char32_t c) { return c; });
}

// Equality of `text` with `folded`, a text already passed through
// `fold_ascii`: the bytes "A" to "Z" of `text` equal "a" to "z", every other
// byte must be identical.
inline bool folded_equal(std::string_view folded, std::string_view text) {
  if (folded.size() != text.size()) return false;
  for (std::size_t k = 0; k < text.size(); ++k) {
    if (folded[k] != fold_ascii(text[k])) return false;
  }
  return true;
}

// Equality where the bytes "A" to "Z" equal "a" to "z"; every other byte must
// be identical.
inline bool ascii_iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (fold_ascii(a[k]) != fold_ascii(b[k])) return false;
  }
  return true;
}

// The lower-cased code points of a text (see unicode::append_lower_full).
std::u32string lower_code_points(std::string_view text);

// Writes the normalised form of `text` (see `normalize`) to `out`, which must
// have room for text.size() bytes: normalising never lengthens a text.
// Returns the normalised length.
std::size_t normalize_into(std::string_view text, char* out);

}  // namespace oskra::detail
