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

// A wildcard pattern's fixed ends: the `head` units before its first
// metacharacter and the `tail` units after its last. An anchored match must
// begin and end the text with them unit for unit, which settles most
// candidates cheaply. A pattern without a metacharacter is all head.
struct FixedEnds {
  std::size_t head = 0;
  std::size_t tail = 0;
};

template <class CharT>
constexpr bool is_wildcard(CharT c) {
  return c == CharT('*') || c == CharT('?');
}

template <class CharT>
FixedEnds fixed_ends(std::basic_string_view<CharT> pattern) {
  FixedEnds ends;
  while (ends.head < pattern.size() && !is_wildcard(pattern[ends.head])) ++ends.head;
  if (ends.head == pattern.size()) return ends;
  while (!is_wildcard(pattern[pattern.size() - 1 - ends.tail])) ++ends.tail;
  return ends;
}

// The anchored glob of `wildcard_match` over a lower-cased pattern, with its
// fixed ends, and a text whose units are lower-cased by `lower` as they are
// read: "*" is any run and "?" exactly one unit, neither ever matching "\".
// The units are code points (text lowered beforehand, `lower` the identity)
// or bytes of an all-ASCII text (`lower` is `fold_ascii`), where a byte is a
// whole character.
//
// Between the fixed ends: since nothing but a backslash matches a
// backslash, both sides split into the same number of backslash-separated
// segments, and each segment pair is matched with the linear greedy glob
// that backtracks only to the latest star (a later star can absorb whatever
// an earlier one would have taken). O(len(pattern) * len(text)) time,
// constant stack.
template <class CharT, class Lower>
bool match_glob(std::basic_string_view<CharT> pattern, FixedEnds ends,
                std::basic_string_view<CharT> text, Lower lower) {
  const bool literal = ends.head == pattern.size();
  if (literal ? text.size() != ends.head : text.size() < ends.head + ends.tail) return false;
  for (std::size_t k = 0; k < ends.head; ++k) {
    if (pattern[k] != lower(text[k])) return false;
  }
  for (std::size_t k = 1; k <= ends.tail; ++k) {
    if (pattern[pattern.size() - k] != lower(text[text.size() - k])) return false;
  }
  if (literal) return true;
  pattern = pattern.substr(ends.head, pattern.size() - ends.head - ends.tail);
  text = text.substr(ends.head, text.size() - ends.head - ends.tail);

  // Segments are short: a plain scan beats a library search call.
  const auto segment_end = [](std::basic_string_view<CharT> s, std::size_t from) {
    while (from < s.size() && s[from] != CharT('\\')) ++from;
    return from;
  };
  constexpr std::size_t none = std::basic_string_view<CharT>::npos;
  std::size_t i = 0;
  std::size_t j = 0;
  while (true) {
    const std::size_t pe = segment_end(pattern, i);
    const std::size_t te = segment_end(text, j);
    // One segment pair, pattern[i, pe) against text[j, te).
    std::size_t star = none;
    std::size_t star_text = 0;
    std::size_t a = i;
    std::size_t b = j;
    while (b < te) {
      if (a < pe && pattern[a] == CharT('*')) {
        star = a++;
        star_text = b;
      } else if (a < pe && (pattern[a] == CharT('?') || pattern[a] == lower(text[b]))) {
        ++a;
        ++b;
      } else if (star != none) {
        a = star + 1;
        b = ++star_text;
      } else {
        return false;
      }
    }
    while (a < pe && pattern[a] == CharT('*')) ++a;
    if (a != pe) return false;

    const bool pattern_done = pe == pattern.size();
    const bool text_done = te == text.size();
    if (pattern_done || text_done) return pattern_done && text_done;
    i = pe + 1;
    j = te + 1;
  }
}

// A quick test before a text outside ASCII is lower-cased: false only when
// the fixed ends of `pattern` (lower-cased code points) certainly disagree
// with `text` (UTF-8). Where the text's ends are ASCII, each byte is exactly
// one character and lower-cases to one; past the first other byte nothing
// is concluded.
inline bool ascii_ends_may_match(std::u32string_view pattern, FixedEnds ends,
                                 std::string_view text) {
  for (std::size_t k = 0; k < ends.head && k < text.size(); ++k) {
    const auto b = static_cast<unsigned char>(text[k]);
    if (b >= 0x80) break;
    if (pattern[k] != fold_ascii(static_cast<char32_t>(b))) return false;
  }
  for (std::size_t k = 1; k <= ends.tail && k <= text.size(); ++k) {
    const auto b = static_cast<unsigned char>(text[text.size() - k]);
    if (b >= 0x80) break;
    if (pattern[pattern.size() - k] != fold_ascii(static_cast<char32_t>(b))) return false;
  }
  return true;
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

// `match_score` of a pattern and a path that are both normalised already.
std::size_t score_normalized(std::string_view pattern, std::string_view path);

}  // namespace oskra::detail
