#include "app/status_line.h"

#include <gtest/gtest.h>

#include <string>

namespace oskra {
namespace {

// The cut counts terminal columns, two for each Chinese character and
// for "｜", and never splits a character.
TEST(StatusLine, WordingAndCutToColumns) {
  const std::string full = "扫描中 1.2 GB ｜ 12345 个文件 ｜ 678 个目录 ｜ 3 秒";
  struct Case {
    std::size_t max_cells;
    std::string text;
    std::size_t cells;
  };
  for (const Case& c : {Case{1000, full, 51}, Case{51, full, 51},
                        Case{50, "扫描中 1.2 GB ｜ 12345 个文件 ｜ 678 个目录 ｜ 3 ", 49},
                        Case{15, "扫描中 1.2 GB ", 14}, Case{5, "扫描", 4}, Case{1, "", 0}}) {
    std::size_t cells = 99;
    EXPECT_EQ(status_line(1288490189, 12345, 678, 3, c.max_cells, cells), c.text) << c.max_cells;
    EXPECT_EQ(cells, c.cells) << c.max_cells;
  }
}

}  // namespace
}  // namespace oskra
