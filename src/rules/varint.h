// Lengths stored compactly beside the texts they measure: seven bits a
// byte, low bits first, the high bit set on every byte but the last. Used
// where millions of short texts are kept one after the other.
#pragma once

#include <cstddef>
#include <string>

namespace oskra::detail {

inline void put_varint(std::string& out, std::size_t n) {
  for (; n >= 0x80; n >>= 7) out.push_back(static_cast<char>((n & 0x7F) | 0x80));
  out.push_back(static_cast<char>(n));
}

// Reads the number at `at` and moves `at` past it.
inline std::size_t get_varint(const char*& at) {
  std::size_t n = 0;
  for (unsigned shift = 0; true; shift += 7) {
    const auto byte = static_cast<unsigned char>(*at++);
    n |= static_cast<std::size_t>(byte & 0x7F) << shift;
    if (byte < 0x80) return n;
  }
}

}  // namespace oskra::detail
