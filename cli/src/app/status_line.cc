#include "app/status_line.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "platform/platform.h"
#include "report/format.h"
#include "text/unicode.h"

namespace oskra {
namespace {

// Assumed when the terminal will not tell its width.
constexpr std::size_t DEFAULT_COLUMNS = 80;

// Columns a character takes on a terminal: two in the East Asian wide and
// full-width blocks (every Chinese character of the line and its "｜"),
// one otherwise. The line holds nothing but its own wording, digits and
// units, so the blocks need not be exhaustive.
std::size_t cells_of(char32_t cp) {
  struct Block {
    char32_t first;
    char32_t last;
  };
  static constexpr std::array<Block, 9> WIDE = {{
      {0x1100, 0x115F},    // Hangul initial consonants
      {0x2E80, 0x303E},    // CJK radicals, symbols and punctuation
      {0x3041, 0x33FF},    // kana, bopomofo, CJK compatibility
      {0x3400, 0x4DBF},    // CJK extension A
      {0x4E00, 0xA4CF},    // CJK unified ideographs, Yi
      {0xAC00, 0xD7A3},    // Hangul syllables
      {0xF900, 0xFAFF},    // CJK compatibility ideographs
      {0xFF00, 0xFF60},    // full-width forms
      {0x20000, 0x3FFFD},  // CJK supplementary planes
  }};
  for (const Block& b : WIDE) {
    if (cp >= b.first && cp <= b.last) return 2;
  }
  return 1;
}

// Never the last column: on a Windows console text that reaches it moves
// the cursor to the next line, where "\r" cannot bring it back.
std::size_t usable_columns() {
  const std::size_t columns = platform::stderr_columns();
  return (columns == 0 ? DEFAULT_COLUMNS : columns) - 1;
}

}  // namespace

namespace {

// `line` cut to at most `max_cells` columns; `cells` receives its width.
std::string cut(std::string line, std::size_t max_cells, std::size_t& cells) {
  cells = 0;
  std::size_t end = 0;
  while (end < line.size()) {
    const unicode::Decoded d = unicode::decode(line, end);
    const std::size_t width = cells_of(d.code_point);
    if (cells + width > max_cells) break;
    cells += width;
    end += d.length;
  }
  line.resize(end);
  return line;
}

}  // namespace

std::string status_line(std::uint64_t bytes, std::uint64_t files, std::uint64_t dirs,
                        std::uint64_t seconds, std::size_t max_cells, std::size_t& cells) {
  std::string line = "扫描中 ";
  append_totals(line, bytes, files, dirs);
  line += Decimal(seconds).text();
  line += " 秒";
  return cut(std::move(line), max_cells, cells);
}

std::string table_status_line(std::uint64_t read, std::uint64_t total, std::uint64_t seconds,
                              std::size_t max_cells, std::size_t& cells) {
  std::string line = "读取文件表 ";
  line += Decimal(read).text();
  line += " / ";
  line += Decimal(total).text();
  line += " 条记录 ｜ ";
  line += Decimal(seconds).text();
  line += " 秒";
  return cut(std::move(line), max_cells, cells);
}

StatusLine::StatusLine(Clock::time_point start)
    : terminal_(platform::stderr_is_terminal()), start_(start), next_draw_(start) {}

StatusLine::~StatusLine() { erase(); }

template <class Make>
void StatusLine::draw(const Make& make) {
  if (!terminal_) return;
  const Clock::time_point now = Clock::now();
  if (now < next_draw_) return;
  next_draw_ = now + REDRAW;
  const std::size_t max_cells = usable_columns();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - start_).count();
  std::size_t cells = 0;
  std::string text = "\r";
  text += make(static_cast<std::uint64_t>(seconds), max_cells, cells);
  // Blank what a longer line before it left, within the width there is
  // now: text past it would wrap.
  const std::size_t old = std::min(drawn_cells_, max_cells);
  if (old > cells) text.append(old - cells, ' ');
  drawn_cells_ = std::max(drawn_cells_, cells);
  // Known before the line shows, so an interruption blanks all of it.
  platform::set_status_cells(std::min(drawn_cells_, max_cells));
  platform::write_stderr(text);
}

void StatusLine::update(std::uint64_t bytes, std::uint64_t files, std::uint64_t dirs) {
  draw([&](std::uint64_t seconds, std::size_t max_cells, std::size_t& cells) {
    return status_line(bytes, files, dirs, seconds, max_cells, cells);
  });
}

void StatusLine::update_table(std::uint64_t read, std::uint64_t total) {
  draw([&](std::uint64_t seconds, std::size_t max_cells, std::size_t& cells) {
    return table_status_line(read, total, seconds, max_cells, cells);
  });
}

void StatusLine::erase() {
  if (!terminal_ || drawn_cells_ == 0) return;
  // Spaces and carriage returns rather than an erase sequence: older
  // Windows consoles do not know escape sequences.
  std::string text = "\r";
  text.append(std::min(drawn_cells_, usable_columns()), ' ');
  text += '\r';
  platform::write_stderr(text);
  drawn_cells_ = 0;
  platform::set_status_cells(0);
}

}  // namespace oskra
