// The JSON report: one pretty-printed document, streamed as it is produced.
//
// The document, in this order (every key present unless said otherwise):
//
//   { "tool": text, "version": text, "path": text,
//     "total_bytes": n, "files": n, "dirs": n, "denied": n, "elapsed_ms": n,
//     "tree": NODE, "greens": [NODE, ...] }
//   NODE = { "name": text, "path": text, "bytes": n, "files": n, "dirs": n,
//            "denied": true (only on a folder that could not be opened or
//                            was not read to the end),
//            "mark": MARK (only with a verdict),
//            "children": [NODE, ...] (only when it has children) }
//   MARK = { "state": "red" or "green", "pattern": text, "source": text,
//            "reason": text, "action": text }
//
// Layout: every member and array element on a line of its own, two spaces
// of indentation a level, "key": value with one space, "[" and "{" on the
// line of their key, "[]" for no greens; after the closing "}" one line
// feed. Texts are escaped by one rule (append_json_string); numbers are
// unsigned decimals.
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
