// Numbers as the reports and the status line write them, and the words of
// the totals they share. Everything goes through to_chars: exact, and never
// touched by the process locale.
#pragma once

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace oskra {

// The decimal digits of an unsigned integer.
class Decimal {
 public:
  explicit Decimal(std::uint64_t value) {
    const auto result = std::to_chars(digits_.data(), digits_.data() + digits_.size(), value);
    size_ = static_cast<std::size_t>(result.ptr - digits_.data());
  }
  std::string_view text() const { return {digits_.data(), size_}; }

 private:
  std::array<char, 20> digits_;  // 18446744073709551615 has 20
  std::size_t size_;
};

// A value in fixed notation with one digit after the point, correctly
// rounded from the exact double, ties to even.
class Fixed1 {
 public:
  explicit Fixed1(double value);
  std::string_view text() const { return {digits_.data(), size_}; }

 private:
  std::array<char, 400> digits_;  // any finite double in fixed notation
  std::size_t size_;
};

// "0 B", "1.2 KB", "1024.0 KB", "16777216.0 TB": the unit is chosen before
// rounding; one decimal, correctly rounded, halfway cases to even.
std::string format_size(std::uint64_t bytes);

// "1.2 GB ｜ 12345 个文件 ｜ 678 个目录 ｜ ": the words of the report's
// totals line that the status line repeats.
void append_totals(std::string& out, std::uint64_t bytes, std::uint64_t files, std::uint64_t dirs);

}  // namespace oskra
