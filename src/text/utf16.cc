#include "text/utf16.h"

#include "text/unicode.h"

namespace oskra::unicode {

Utf16Units encode_utf16(char32_t code_point) {
  if (is_high_surrogate(code_point) || is_low_surrogate(code_point) || code_point > 0x10FFFF) {
    return {{static_cast<char16_t>(REPLACEMENT_CHARACTER), 0}, 1};
  }
  if (code_point < 0x10000) return {{static_cast<char16_t>(code_point), 0}, 1};
  const char32_t offset = code_point - 0x10000;
  return {{static_cast<char16_t>(0xD800 + (offset >> 10)),
           static_cast<char16_t>(0xDC00 + (offset & 0x3FF))},
          2};
}

void append_utf8_as_utf16(std::string_view utf8, std::u16string& out) {
  // Never more code units than bytes.
  out.reserve(out.size() + utf8.size());
  for (std::size_t pos = 0; pos < utf8.size();) {
    const Decoded d = decode(utf8, pos);
    const Utf16Units u = encode_utf16(d.code_point);
    out.append(u.units.data(), u.size);
    pos += d.length;
  }
}

bool append_utf16_as_utf8(std::u16string_view utf16, std::string& out) {
  out.reserve(out.size() + utf16.size());
  bool valid = true;
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const char32_t c = utf16[i];
    const char32_t next = i + 1 < utf16.size() ? utf16[i + 1] : 0;
    char32_t cp = c;
    if (is_high_surrogate(c) && is_low_surrogate(next)) {
      cp = from_surrogates(c, next);
      ++i;
    } else if (is_high_surrogate(c) || is_low_surrogate(c)) {
      cp = REPLACEMENT_CHARACTER;
      valid = false;
    }
    append_utf8(cp, out);
  }
  return valid;
}

}  // namespace oskra::unicode
