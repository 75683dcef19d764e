#include "text/unicode.h"

#include <algorithm>
#include <iterator>

namespace oskra::unicode {
namespace {

struct LowerRun {
  char32_t first;
  char32_t last;
  std::int32_t stride;
  std::int32_t delta;
};

struct LowerMulti {
  char32_t from;
  std::uint8_t size;
  std::array<char32_t, 3> to;
};

struct CodeRange {
  char32_t first;
  char32_t last;
};

#include "text/unicode_tables.inc"

}  // namespace

Decoded decode(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(pos);
  if (b0 < 0x80) return {b0, 1};

  std::size_t need;
  char32_t cp;
  // The first continuation byte has a narrower range for some lead bytes:
  // that is what rules out overlong forms, surrogates and values past
  // U+10FFFF.
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1Fu;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0Fu;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07u;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {REPLACEMENT_CHARACTER, 1, false};
  }

  std::size_t length = 1;
  for (std::size_t k = 0; k < need; ++k) {
    const std::size_t at = pos + length;
    if (at >= text.size()) return {REPLACEMENT_CHARACTER, length, false};
    const unsigned char b = byte(at);
    if (b < lo || b > hi) return {REPLACEMENT_CHARACTER, length, false};
    cp = (cp << 6) | (b & 0x3Fu);
    lo = 0x80;
    hi = 0xBF;
    ++length;
  }
  return {cp, length};
}

bool is_valid_utf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const Decoded d = decode(text, pos);
    if (!d.valid) return false;
    pos += d.length;
  }
  return true;
}

void append_utf8_lossy(std::string_view text, std::string& out) {
  out.reserve(out.size() + text.size());
  std::size_t run = 0;  // start of the pending run of good bytes
  for (std::size_t pos = 0; pos < text.size();) {
    const Decoded d = decode(text, pos);
    if (!d.valid) {
      out.append(text.substr(run, pos - run));
      out.append("\xEF\xBF\xBD");
      run = pos + d.length;
    }
    pos += d.length;
  }
  out.append(text.substr(run));
}

void append_utf8(char32_t code_point, std::string& out) {
  char32_t cp = code_point;
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = REPLACEMENT_CHARACTER;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

LowerCase to_lower_full(char32_t code_point) {
  if (code_point < 0x80) {
    const char32_t lower =
        (code_point >= U'A' && code_point <= U'Z') ? code_point + (U'a' - U'A') : code_point;
    return {{lower, 0, 0}, 1};
  }
  const auto multi = std::lower_bound(std::begin(LOWER_MULTI), std::end(LOWER_MULTI), code_point,
                                      [](const LowerMulti& m, char32_t cp) { return m.from < cp; });
  if (multi != std::end(LOWER_MULTI) && multi->from == code_point) return {multi->to, multi->size};

  // The last run that starts at or before the code point.
  const auto next = std::upper_bound(std::begin(LOWER_RUNS), std::end(LOWER_RUNS), code_point,
                                     [](char32_t cp, const LowerRun& r) { return cp < r.first; });
  if (next != std::begin(LOWER_RUNS)) {
    const LowerRun& run = *std::prev(next);
    if (code_point <= run.last &&
        (code_point - run.first) % static_cast<char32_t>(run.stride) == 0) {
      const auto mapped = static_cast<std::int64_t>(code_point) + run.delta;
      return {{static_cast<char32_t>(mapped), 0, 0}, 1};
    }
  }
  return {{code_point, 0, 0}, 1};
}

void append_lower_full(std::string_view text, std::u32string& out) {
  for (std::size_t pos = 0; pos < text.size();) {
    const unsigned char b = static_cast<unsigned char>(text[pos]);
    if (b < 0x80) {
      out.push_back(b >= 'A' && b <= 'Z' ? static_cast<char32_t>(b + ('a' - 'A')) : b);
      ++pos;
      continue;
    }
    const Decoded d = decode(text, pos);
    const LowerCase lower = to_lower_full(d.code_point);
    out.append(lower.code_points.data(), lower.size);
    pos += d.length;
  }
}

bool is_white_space(char32_t code_point) {
  if (code_point < 0x80) return code_point == 0x20 || (code_point >= 0x09 && code_point <= 0x0D);
  const auto next = std::upper_bound(std::begin(WHITE_SPACE), std::end(WHITE_SPACE), code_point,
                                     [](char32_t cp, const CodeRange& r) { return cp < r.first; });
  return next != std::begin(WHITE_SPACE) && code_point <= std::prev(next)->last;
}

}  // namespace oskra::unicode
