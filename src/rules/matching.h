// Building blocks shared by the pattern operations and the rule engine.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
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

// A byte of a pattern as written, as the normalised and case-folded
// pattern has it: "/" is "\\" and "A" to "Z" are "a" to "z". Compiled
// patterns are compared through it, so their text is never copied.
constexpr char32_t pattern_byte(char b) {
  return b == '/' ? U'\\' : fold_ascii(static_cast<char32_t>(static_cast<unsigned char>(b)));
}

// A byte of an all-ASCII text, case-folded.
constexpr char32_t text_byte(char b) {
  return fold_ascii(static_cast<char32_t>(static_cast<unsigned char>(b)));
}

// A code point already lower-cased.
constexpr char32_t code_point(char32_t cp) { return cp; }

// The anchored glob of `wildcard_match` over a lower-cased pattern, with its
// fixed ends, and a text: "*" is any run and "?" exactly one unit, neither
// ever matching "\". `pattern_unit` and `text_unit` give each side's units
// lower-cased as they are read. The units are code points, or bytes where
// a byte is a whole character: an all-ASCII text (`text_byte`) or an
// all-ASCII pattern as written (`pattern_byte`).
//
// Between the fixed ends: since nothing but a backslash matches a
// backslash, both sides split into the same number of backslash-separated
// segments, and each segment pair is matched with the linear greedy glob
// that backtracks only to the latest star (a later star can absorb whatever
// an earlier one would have taken). O(len(pattern) * len(text)) time,
// constant stack.
template <class P, class T, class PatternUnit, class TextUnit>
bool match_glob(std::basic_string_view<P> pattern, FixedEnds ends, std::basic_string_view<T> text,
                PatternUnit pattern_unit, TextUnit text_unit) {
  const bool literal = ends.head == pattern.size();
  if (literal ? text.size() != ends.head : text.size() < ends.head + ends.tail) return false;
  for (std::size_t k = 0; k < ends.head; ++k) {
    if (pattern_unit(pattern[k]) != text_unit(text[k])) return false;
  }
  for (std::size_t k = 1; k <= ends.tail; ++k) {
    if (pattern_unit(pattern[pattern.size() - k]) != text_unit(text[text.size() - k])) return false;
  }
  if (literal) return true;
  pattern = pattern.substr(ends.head, pattern.size() - ends.head - ends.tail);
  text = text.substr(ends.head, text.size() - ends.head - ends.tail);

  // Segments are short: a plain scan beats a library search call.
  const auto segment_end = [](auto s, std::size_t from, auto unit) {
    while (from < s.size() && unit(s[from]) != U'\\') ++from;
    return from;
  };
  constexpr std::size_t none = std::basic_string_view<P>::npos;
  std::size_t i = 0;
  std::size_t j = 0;
  while (true) {
    const std::size_t pe = segment_end(pattern, i, pattern_unit);
    const std::size_t te = segment_end(text, j, text_unit);
    // One segment pair, pattern[i, pe) against text[j, te).
    std::size_t star = none;
    std::size_t star_text = 0;
    std::size_t a = i;
    std::size_t b = j;
    while (b < te) {
      const char32_t p = a < pe ? pattern_unit(pattern[a]) : 0;
      if (a < pe && p == U'*') {
        star = a++;
        star_text = b;
      } else if (a < pe && (p == U'?' || p == text_unit(text[b]))) {
        ++a;
        ++b;
      } else if (star != none) {
        a = star + 1;
        b = ++star_text;
      } else {
        return false;
      }
    }
    while (a < pe && pattern_unit(pattern[a]) == U'*') ++a;
    if (a != pe) return false;

    const bool pattern_done = pe == pattern.size();
    const bool text_done = te == text.size();
    if (pattern_done || text_done) return pattern_done && text_done;
    i = pe + 1;
    j = te + 1;
  }
}

// A quick test before a text outside ASCII is lower-cased: false only when
// the fixed ends of a wildcard pattern as written (`ends` counted in its
// lower-cased code points) certainly disagree with `text` (UTF-8). Where
// both sides' ends are ASCII, each byte is exactly one character and
// lower-cases to one; past the first other byte on either side nothing is
// concluded.
inline bool ascii_ends_may_match(std::string_view pattern, FixedEnds ends, std::string_view text) {
  const std::size_t head = std::min({ends.head, pattern.size(), text.size()});
  for (std::size_t k = 0; k < head; ++k) {
    const char p = pattern[k];
    const char t = text[k];
    if (((static_cast<unsigned char>(p) | static_cast<unsigned char>(t)) & 0x80) != 0) break;
    if (pattern_byte(p) != text_byte(t)) return false;
  }
  const std::size_t tail = std::min({ends.tail, pattern.size(), text.size()});
  for (std::size_t k = 1; k <= tail; ++k) {
    const char p = pattern[pattern.size() - k];
    const char t = text[text.size() - k];
    if (((static_cast<unsigned char>(p) | static_cast<unsigned char>(t)) & 0x80) != 0) break;
    if (pattern_byte(p) != text_byte(t)) return false;
  }
  return true;
}

// Equality of `a` and `b` with each byte of `a` read through `read_a` and
// each byte of `b` through `read_b`.
template <class ReadA, class ReadB>
inline bool equal_as_read(std::string_view a, std::string_view b, ReadA read_a, ReadB read_b) {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (read_a(a[k]) != read_b(b[k])) return false;
  }
  return true;
}

// Equality of `text` with a pattern as written: each pattern byte through
// `pattern_byte`, each text byte through `text_byte`.
inline bool pattern_equal(std::string_view pattern, std::string_view text) {
  return equal_as_read(pattern, text, pattern_byte, text_byte);
}

// FNV-1a over the bytes with "A" to "Z" folded: equal under ascii_iequal,
// equal hash.
inline std::uint64_t folded_hash(std::string_view text) {
  std::uint64_t hash = 14695981039346656037u;
  for (const char b : text) {
    hash ^= static_cast<unsigned char>(fold_ascii(b));
    hash *= 1099511628211u;
  }
  return hash;
}

// Equality where the bytes "A" to "Z" equal "a" to "z"; every other byte must
// be identical.
inline bool ascii_iequal(std::string_view a, std::string_view b) {
  return equal_as_read(a, b, fold_ascii<char>, fold_ascii<char>);
}

// The lower-cased code points of a text (see unicode::append_lower_full).
std::u32string lower_code_points(std::string_view text);

// Where the normalised form of `text` lies in it: trimming and dropping
// trailing separators leave one piece of it, in which only "/" changes
// (to "\\").
struct Span {
  std::size_t begin = 0;
  std::size_t end = 0;
};
Span normalized_span(std::string_view text);

// Writes the normalised form of `text` (see `normalize`) to `out`, which must
// have room for text.size() bytes: normalising never lengthens a text.
// Returns the normalised length.
std::size_t normalize_into(std::string_view text, char* out);

// `match_score` of a pattern and a path that are both normalised already.
std::size_t score_normalized(std::string_view pattern, std::string_view path);

}  // namespace oskra::detail
