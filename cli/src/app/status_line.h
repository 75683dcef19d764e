// The status line a scan shows on standard error when that is a terminal
// (on Windows, a console): what has been counted so far and for how long,
// redrawn in place a few times per second and erased before the report, so
// the screen afterwards is as if it had never been there. Nothing is drawn
// when standard error is anything else.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace oskra {

// "扫描中 1.2 GB ｜ 12345 个文件 ｜ 678 个目录 ｜ 3 秒", in the words of the
// report's totals line, cut to at most `max_cells` terminal columns (a
// CJK character takes two). `cells` receives the width of what is returned.
std::string status_line(std::uint64_t bytes, std::uint64_t files, std::uint64_t dirs,
                        std::uint64_t seconds, std::size_t max_cells, std::size_t& cells);

// "读取文件表 12345 / 100000 条记录 ｜ 3 秒": how much of a volume's master
// file table has been read, cut as status_line is.
std::string table_status_line(std::uint64_t read, std::uint64_t total, std::uint64_t seconds,
                              std::size_t max_cells, std::size_t& cells);

class StatusLine {
 public:
  using Clock = std::chrono::steady_clock;

  // Draws only when standard error is a terminal; `start` is when the
  // scan began.
  explicit StatusLine(Clock::time_point start);
  StatusLine(const StatusLine&) = delete;
  StatusLine& operator=(const StatusLine&) = delete;
  ~StatusLine();  // erases

  // Draws what has been counted so far: on the first call, then at most
  // every REDRAW apart.
  void update(std::uint64_t bytes, std::uint64_t files, std::uint64_t dirs);

  // Draws how much of a volume's table has been read, as `update` draws.
  void update_table(std::uint64_t read, std::uint64_t total);

  // Blanks the line and leaves the cursor where it was before the first
  // draw. Drawing may start again afterwards.
  void erase();

  static constexpr Clock::duration REDRAW = std::chrono::milliseconds(250);

 private:
  bool terminal_;
  // Draws `line`, made by `make(seconds, max_cells, cells)`, when it is time.
  template <class Make>
  void draw(const Make& make);

  Clock::time_point start_;
  Clock::time_point next_draw_;
  std::size_t drawn_cells_ = 0;  // columns the line may hold text in
};

}  // namespace oskra
