// Helpers for the tests that hold the shipped documents to the code: reading
// a document copied beside the test, and picking apart its Markdown tables
// and fenced blocks.
#pragma once

#include <cstddef>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace oskra::docs {

// The whole file, or nothing when it cannot be read. The build copies the
// documents into the test's working directory.
inline std::optional<std::string> read_file(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  return std::move(out).str();
}

inline std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    start = end + 1;
  }
  return lines;
}

inline std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A cell written as one code span, `like this`, yields its content; any
// other cell is returned as it stands.
inline std::string code(std::string_view cell) {
  if (cell.size() >= 2 && cell.front() == '`' && cell.back() == '`' &&
      cell.substr(1, cell.size() - 2).find('`') == std::string_view::npos) {
    return std::string(cell.substr(1, cell.size() - 2));
  }
  return std::string(cell);
}

// The contents of every code span in a cell, in order: "`a` or `b`" gives
// {"a", "b"}.
inline std::vector<std::string> code_spans(std::string_view cell) {
  std::vector<std::string> spans;
  for (std::size_t open = cell.find('`'); open != std::string_view::npos;) {
    const std::size_t close = cell.find('`', open + 1);
    if (close == std::string_view::npos) break;
    spans.emplace_back(cell.substr(open + 1, close - open - 1));
    open = cell.find('`', close + 1);
  }
  return spans;
}

using Row = std::vector<std::string>;

// The body rows of the first table after the line that equals `heading`:
// header and separator rows are dropped, cells are trimmed. Empty when the
// heading is missing or no table follows it before the next heading.
inline std::vector<Row> table_after(std::string_view text, std::string_view heading) {
  const std::vector<std::string> lines = split_lines(text);
  std::size_t i = 0;
  while (i < lines.size() && lines[i] != heading) ++i;
  if (i == lines.size()) return {};
  for (++i; i < lines.size() && lines[i].rfind('|', 0) != 0; ++i) {
    if (lines[i].rfind('#', 0) == 0) return {};
  }
  std::vector<Row> rows;
  for (std::size_t n = 0; i < lines.size() && lines[i].rfind('|', 0) == 0; ++i, ++n) {
    if (n < 2) continue;  // header, separator
    std::string_view line = trim(lines[i]);
    line.remove_prefix(1);
    if (!line.empty() && line.back() == '|') line.remove_suffix(1);
    Row row;
    std::size_t start = 0;
    while (true) {
      std::size_t bar = line.find('|', start);
      row.emplace_back(trim(line.substr(start, bar - start)));
      if (bar == std::string_view::npos) break;
      start = bar + 1;
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

// The contents of every fenced block opened with "```" + `language`.
inline std::vector<std::string> fenced_blocks(std::string_view text, std::string_view language) {
  const std::string open = "```" + std::string(language);
  std::vector<std::string> blocks;
  const std::vector<std::string> lines = split_lines(text);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != open) continue;
    std::string block;
    for (++i; i < lines.size() && lines[i] != "```"; ++i) block += lines[i] + "\n";
    blocks.push_back(std::move(block));
  }
  return blocks;
}

}  // namespace oskra::docs
