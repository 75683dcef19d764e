// The short Chinese text report.
#pragma once

#include <cstdint>
#include <string>

#include "report.h"
#include "writer.h"

namespace oskra {

// "0 B", "1.2 KB", "1024.0 KB", "16777216.0 TB": the unit is chosen before
// rounding; one decimal, correctly rounded, halfway cases to even.
std::string format_size(std::uint64_t bytes);

// Writes the text report. With `terminal` set (standard output is a terminal
// or console) every control character inside a name or path is shown as
// U+FFFD, so a hostile file name cannot break lines or drive the terminal.
void write_text_report(const Report& report, std::uint64_t top, bool terminal, Writer& out);

}  // namespace oskra
