// UTF-16, the form Windows keeps names, arguments and console text in,
// converted to and from the UTF-8 used everywhere else. Portable, so it is
// built and tested on every system; the Windows platform layer hands its
// 16-bit wchar_t text over as char16_t.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace oskra::unicode {

// The first and the second half of a surrogate pair.
constexpr bool is_high_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
constexpr bool is_low_surrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
// The code point a pair of them stands for.
constexpr char32_t from_surrogates(char32_t high, char32_t low) {
  return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}

// The UTF-16 form of one code point: one code unit, or a surrogate pair from
// U+10000 on. A surrogate or a value above U+10FFFF is written as U+FFFD.
struct Utf16Units {
  std::array<char16_t, 2> units;
  std::uint8_t size;
};
Utf16Units encode_utf16(char32_t code_point);

// Appends the UTF-16 form of `utf8`, each maximal ill-formed subpart as one
// U+FFFD (see `decode` in unicode.h).
void append_utf8_as_utf16(std::string_view utf8, std::u16string& out);

// Appends `utf16` as UTF-8: a surrogate pair is one code point, every
// unpaired surrogate becomes U+FFFD. Returns false when there was one.
bool append_utf16_as_utf8(std::u16string_view utf16, std::string& out);

}  // namespace oskra::unicode
