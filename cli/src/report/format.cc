#include "report/format.h"

#include <system_error>

namespace oskra {

Fixed1::Fixed1(double value) {
  const auto result = std::to_chars(digits_.data(), digits_.data() + digits_.size(), value,
                                    std::chars_format::fixed, 1);
  if (result.ec != std::errc()) {
    digits_[0] = '?';
    size_ = 1;
    return;
  }
  size_ = static_cast<std::size_t>(result.ptr - digits_.data());
}

std::string format_size(std::uint64_t bytes) {
  if (bytes < 1024) {
    std::string text(Decimal(bytes).text());
    text += " B";
    return text;
  }
  static constexpr std::array<std::string_view, 5> UNITS = {"B", "KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 1;
  while (unit + 1 < UNITS.size() && value >= 1024.0) {
    value /= 1024.0;
    ++unit;
  }
  std::string text(Fixed1(value).text());
  text += ' ';
  text += UNITS[unit];
  return text;
}

void append_totals(std::string& out, std::uint64_t bytes, std::uint64_t files, std::uint64_t dirs) {
  out += format_size(bytes);
  out += " ｜ ";
  out += Decimal(files).text();
  out += " 个文件 ｜ ";
  out += Decimal(dirs).text();
  out += " 个目录 ｜ ";
}

}  // namespace oskra
