// UTF-8 decoding and encoding, the default full lower-case mapping and the
// White_Space property, from tables generated out of the Unicode Character
// Database (tools/gen_unicode_tables.py). No locale is ever consulted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace oskra::unicode {

inline constexpr char32_t REPLACEMENT_CHARACTER = 0xFFFD;

// One code point decoded from UTF-8 and the number of bytes it took.
struct Decoded {
  char32_t code_point;
  std::size_t length;  // at least 1
  bool valid = true;   // false when `code_point` stands in for bad bytes
};

// Decodes the character that starts at text[pos] (pos < text.size()).
// Only well-formed UTF-8 decodes to itself: shortest form, no surrogates,
// nothing above U+10FFFF. Anything else decodes as U+FFFD covering its
// maximal subpart (the longest start of a sequence that could still have
// been well formed, at least one byte), so each maximal invalid sequence
// yields exactly one U+FFFD and the next valid character is never eaten.
Decoded decode(std::string_view text, std::size_t pos);

// True when the whole text is well-formed UTF-8.
bool is_valid_utf8(std::string_view text);

// Appends `text` to `out` with each maximal ill-formed subpart replaced by
// U+FFFD (see `decode`).
void append_utf8_lossy(std::string_view text, std::string& out);

// Appends the UTF-8 form of a code point (a surrogate or a value above
// U+10FFFF is written as U+FFFD).
void append_utf8(char32_t code_point, std::string& out);

// The default full lower-case mapping of one code point: one to three code
// points. Only the unconditional mappings are used, never the context- or
// language-dependent ones, so lower-casing a text is the same as lower-
// casing each of its characters alone.
struct LowerCase {
  std::array<char32_t, 3> code_points;
  std::uint8_t size;
};
LowerCase to_lower_full(char32_t code_point);

// Decodes `text` (ill-formed parts as U+FFFD, see `decode`) and appends the
// full lower-case mapping of every character to `out`.
void append_lower_full(std::string_view text, std::u32string& out);

// The Unicode White_Space property.
bool is_white_space(char32_t code_point);

}  // namespace oskra::unicode
