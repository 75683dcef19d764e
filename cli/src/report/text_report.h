// The short Chinese text report.
#pragma once

#include <cstdint>

#include "report/format.h"
#include "report/report.h"
#include "report/writer.h"

namespace oskra {

// Writes the text report. With `terminal` set (standard output is a terminal
// or console) every control character inside a name or path is shown as
// U+FFFD, so a hostile file name cannot break lines or drive the terminal.
void write_text_report(const Report& report, std::uint64_t top, bool terminal, Writer& out);

}  // namespace oskra
