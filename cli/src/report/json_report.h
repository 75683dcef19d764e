// The JSON report: one pretty-printed document, streamed as it is produced.
#pragma once

#include <string>
#include <string_view>

#include "report/report.h"
#include "report/writer.h"

namespace oskra {

// Appends `text` as a JSON string (quotes included) with the report's escape
// table: only '"', '\\' and characters below U+0020 are escaped.
void append_json_string(std::string& out, std::string_view text);

// Writes the whole document followed by one line feed.
void write_json_report(const Report& report, Writer& out);

}  // namespace oskra
