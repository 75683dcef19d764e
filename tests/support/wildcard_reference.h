// The wildcard matcher as first written, kept as the yardstick for the real
// one (tests and the fuzzer compare the two). Not for production use.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "text/unicode.h"

namespace oskra::reference {

// The matcher as first written: recursion at every asterisk, one level per
// text character taken. Exponential on many asterisks and deep on long
// texts, so only small inputs are given to it; it is the yardstick the real
// matcher must agree with.
inline bool rec(const std::u32string& p, const std::u32string& t, std::size_t i, std::size_t j) {
  while (true) {
    if (i == p.size()) return j == t.size();
    if (j == t.size()) {
      while (i < p.size() && p[i] == U'*') ++i;
      return i == p.size();
    }
    while (p[i] == U'*') {
      if (t[j] != U'\\' && rec(p, t, i, j + 1)) return true;
      ++i;
      if (i == p.size()) return j == t.size();
    }
    if (p[i] == U'?') {
      if (t[j] == U'\\') return false;
    } else if (p[i] != t[j]) {
      return false;
    }
    ++i;
    ++j;
  }
}

inline bool reference_match(std::string_view pattern, std::string_view text) {
  std::u32string p;
  std::u32string t;
  unicode::append_lower_full(pattern, p);
  unicode::append_lower_full(text, t);
  return rec(p, t, 0, 0);
}

}  // namespace oskra::reference
