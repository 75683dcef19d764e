// How the JSON report is written, each rule once: the one escaper of texts
// and the one emitter of the layout (json_report.h states both), for text
// in memory and for the streaming writer alike.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "report/format.h"

namespace oskra::json {

// Where text goes: a string in memory, or the streaming writer (which has
// the same two calls).
struct StringOut {
  std::string& text;
  void put(std::string_view bytes) { text.append(bytes); }
  void put(char c) { text.push_back(c); }
};

// --- The one escaper ---------------------------------------------------------

// Whether any of eight bytes is below 0x20, '"' or '\\'. Each test is the
// classic word-at-a-time one: a byte below n (n <= 0x80) leaves its high bit
// set in (x - n per byte) & ~x, and a byte equal to b is a zero byte of
// x ^ b per byte. Exact about "any", which is all that is asked.
inline bool any_to_escape(std::uint64_t x) {
  constexpr std::uint64_t ONES = 0x0101010101010101;
  constexpr std::uint64_t HIGHS = 0x8080808080808080;
  const auto any_below = [](std::uint64_t v, std::uint64_t n) {
    return (v - ONES * n) & ~v & HIGHS;
  };
  return (any_below(x, 0x20) | any_below(x ^ (ONES * '"'), 1) | any_below(x ^ (ONES * '\\'), 1)) !=
         0;
}

// How many bytes at the start of `text` go out as they are. Only '"', '\\'
// and characters below U+0020 are escaped; everything else, "/", U+007F and
// every byte of non-ASCII text included, passes unchanged. Names and paths
// are mostly plain, so they are scanned eight bytes at a time.
inline std::size_t plain_run(std::string_view text) {
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    if (any_to_escape(word)) break;
  }
  for (; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == '"' || c == '\\') break;
  }
  return i;
}

// The escape of `c`, a byte plain_run stops at: one of JSON's two-character
// escapes where it has one, else "\\u00" and two hexadecimal digits.
template <typename Out>
void put_escape(Out& out, unsigned char c) {
  static constexpr std::pair<char, std::string_view> SHORT[] = {
      {'"', "\\\""}, {'\\', "\\\\"}, {'\b', "\\b"}, {'\t', "\\t"},
      {'\n', "\\n"}, {'\f', "\\f"},  {'\r', "\\r"}};
  for (const auto& [plain, escape] : SHORT) {
    if (c == static_cast<unsigned char>(plain)) return out.put(escape);
  }
  static constexpr std::string_view HEX = "0123456789abcdef";
  const std::array<char, 6> escape = {'\\', 'u', '0', '0', HEX[c >> 4], HEX[c & 0x0F]};
  out.put(std::string_view(escape.data(), escape.size()));
}

// `text` escaped, without quotes; runs of plain bytes go on in one piece.
template <typename Out>
void put_escaped(Out& out, std::string_view text) {
  for (;;) {
    const std::size_t run = plain_run(text);
    out.put(text.substr(0, run));
    if (run == text.size()) return;
    put_escape(out, static_cast<unsigned char>(text[run]));
    text.remove_prefix(run + 1);
  }
}

template <typename Out>
void put_json_string(Out& out, std::string_view text) {
  out.put('"');
  put_escaped(out, text);
  out.put('"');
}

// `text` escaped: itself when nothing in it needs escaping (the usual
// case), else its escaped form in `scratch`.
inline std::string_view escaped(std::string_view text, std::string& scratch) {
  if (plain_run(text) == text.size()) return text;
  scratch.clear();
  StringOut to_scratch{scratch};
  put_escaped(to_scratch, text);
  return scratch;
}

// --- The one emitter of the layout -------------------------------------------

// Two spaces a level. Deep trees indent by tens of kilobytes; they are
// handed on in large pieces.
template <typename Out>
void put_indent(Out& out, std::size_t depth) {
  static constexpr std::array<char, 1024> SPACES = [] {
    std::array<char, 1024> spaces{};
    spaces.fill(' ');
    return spaces;
  }();
  for (std::size_t n = depth * 2; n > 0;) {
    const std::size_t piece = n < SPACES.size() ? n : SPACES.size();
    out.put(std::string_view(SPACES.data(), piece));
    n -= piece;
  }
}

// Where an element of an array or object opened on a line of `depth`
// begins: after the one before (",") on a line of its own, one level in.
template <typename Out>
void put_element(Out& out, std::size_t depth, bool first) {
  out.put(first ? "\n" : ",\n");
  put_indent(out, depth + 1);
}

// A member's element and its key. Keys are this file's own plain ASCII
// words: nothing in them needs escaping.
template <typename Out>
void put_key(Out& out, std::size_t depth, bool first, std::string_view name) {
  put_element(out, depth, first);
  out.put('"');
  out.put(name);
  out.put("\": ");
}

// The bracket that closes what opened on a line of `depth`, on a line of
// its own.
template <typename Out>
void put_close(Out& out, std::size_t depth, char bracket) {
  out.put('\n');
  put_indent(out, depth);
  out.put(bracket);
}

template <typename Out>
void put_string_member(Out& out, std::size_t depth, bool first, std::string_view name,
                       std::string_view value) {
  put_key(out, depth, first, name);
  put_json_string(out, value);
}

template <typename Out>
void put_integer_member(Out& out, std::size_t depth, bool first, std::string_view name,
                        std::uint64_t value) {
  put_key(out, depth, first, name);
  out.put(Decimal(value).text());
}

// What the emitter writes, as text.
template <class Emit>
std::string rendered(Emit emit) {
  std::string text;
  StringOut out{text};
  emit(out);
  return text;
}

}  // namespace oskra::json
