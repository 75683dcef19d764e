#include "report/text_report.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <utility>

namespace oskra {
namespace {

// `r` with a copy of `tree` as its detail tree: the test goes on changing it.
const Report& with(Report& r, const Node& tree) {
  r.tree = DetailTree(tree);
  return r;
}

std::string render(const Report& report, std::uint64_t top, bool terminal = false) {
  std::string text;
  Writer out(
      [&](std::string_view s) {
        text.append(s);
        return true;
      },
      16);
  write_text_report(report, top, terminal, out);
  EXPECT_TRUE(out.flush());
  return text;
}

Node entry(const std::string& name, std::uint64_t bytes, const Mark* mark = nullptr) {
  Node n;
  n.set_name_and_path(name, "C:\\" + name);
  n.bytes = bytes;
  n.mark = mark;
  return n;
}

// Nodes only point at their verdicts, and verdicts view their texts; these
// live as long as the test run.
const Mark* mark(State state, std::string pattern) {
  static std::deque<std::string> patterns;
  static std::deque<Mark> marks;
  return &marks.emplace_back(Mark{state, patterns.emplace_back(std::move(pattern)), SOURCE_BUILTIN,
                                  "rule.reason.x", "rule.action.y"});
}

Node green(const std::string& path, std::uint64_t bytes, const Mark* mark = nullptr) {
  Node n;
  n.set_name_and_path("", path);
  n.bytes = bytes;
  n.mark = mark;
  return n;
}

// A green entry with the verdict the built-in rules give its path.
Node judged_green(const std::string& path, std::uint64_t bytes) {
  static const RuleEngine engine;
  return green(path, bytes, engine.evaluate(path));
}

const std::string FOOTER = "\n只看不删:删除请自行在资源管理器操作。规则语义与出处见 SKILL.md。\n";

TEST(FormatSize, ChoosesTheUnitBeforeRoundingAndRoundsHalfToEven) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1.0 KB"},
      {1280, "1.2 KB"},  // exactly 1.25
      {1331, "1.3 KB"},
      {1536, "1.5 KB"},
      {1792, "1.8 KB"},  // exactly 1.75: ties to the even 8
      {104857, "102.4 KB"},
      {1048575, "1024.0 KB"},
      {1048576, "1.0 MB"},
      {1073741823, "1024.0 MB"},
      {1073741824, "1.0 GB"},
      {1099511627776, "1.0 TB"},
      {1125899906842624, "1024.0 TB"},  // no unit above TB
      {18446744073709551615u, "16777216.0 TB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(format_size(bytes), text) << bytes;
}

TEST(TextReport, WritesTheFullReportWithSortedFirstLevelAndGreens) {
  Report r;
  Node tree;
  r.path = "C:\\";
  r.files = 412345;
  r.dirs = 98765;
  r.denied = 17;
  r.elapsed_ms = 45210;
  // Tree order differs from size order: the list is sorted, the tree is not.
  tree.children.push_back(entry("hello.txt", 1280));
  tree.children.push_back(entry("Users", 21598293269));
  tree.children.push_back(entry("Windows", 32212254720, mark(State::red, "?:\\Windows")));
  tree.children.push_back(entry("empty.log", 0));
  tree.children.push_back(
      entry("Program Files", 9663676416, mark(State::red, "?:\\Program Files")));
  tree.children.push_back(entry("pagefile.sys", 8589934592, mark(State::red, "pagefile.sys")));
  for (const Node& c : tree.children) r.total_bytes += c.bytes;
  // With the verdicts the rules give them: all three are safe, so the
  // lines carry no "check first" mark.
  r.greens.push_back(judged_green("C:\\Windows\\SoftwareDistribution\\Download", 3221225472));
  r.greens.push_back(judged_green("C:\\Users\\a\\AppData\\Local\\Temp", 1610612736));
  r.greens.push_back(judged_green("C:\\Windows\\Temp", 524288000));
  const Node tree_before = tree;

  EXPECT_EQ(render(with(r, tree), 20),
            "Morvane CLI v" + std::string(TOOL_VERSION) +
                " — C:\\\n"
                "总计 67.1 GB ｜ 412345 个文件 ｜ 98765 个目录 ｜ 17 项拒绝访问 ｜ 扫描 45210ms\n"
                "\n"
                "一级占用(前 20):\n"
                "  1.    30.0 GB  44.7%  Windows  [红 ?:\\Windows]\n"
                "  2.    20.1 GB  30.0%  Users\n"
                "  3.     9.0 GB  13.4%  Program Files  [红 ?:\\Program Files]\n"
                "  4.     8.0 GB  11.9%  pagefile.sys  [红 pagefile.sys]\n"
                "  5.     1.2 KB   0.0%  hello.txt\n"
                "  6.        0 B   0.0%  empty.log\n"
                "\n"
                "建议清理(绿标,前 20):\n"
                "  1.     3.0 GB  C:\\Windows\\SoftwareDistribution\\Download\n"
                "  2.     1.5 GB  C:\\Users\\a\\AppData\\Local\\Temp\n"
                "  3.   500.0 MB  C:\\Windows\\Temp\n"
                "(共 3 项,完整清单用 --json)\n" +
                FOOTER);
  EXPECT_EQ(r.tree.root(), tree_before);

  // top 0: headings (showing 0) and the count line stay, entry lines go.
  const std::string zero = render(with(r, tree), 0);
  EXPECT_EQ(zero.substr(zero.find("\n\n")),
            "\n\n一级占用(前 0):\n\n建议清理(绿标,前 0):\n(共 3 项,完整清单用 --json)\n" + FOOTER);
  // top 2 cuts both lists after the second line.
  const std::string two = render(with(r, tree), 2);
  EXPECT_NE(two.find("  2.    20.1 GB  30.0%  Users\n\n建议清理(绿标,前 2):\n"), std::string::npos);
  EXPECT_NE(two.find("  2.     1.5 GB  C:\\Users\\a\\AppData\\Local\\Temp\n(共 3 项"),
            std::string::npos);
}

// A folder merely named "cache" among a person's documents is no
// suggestion to delete: its line says to check first, and one line after
// the count says why; a safe line stays as it was.
TEST(TextReport, MarksCheckFirstGreensAndSaysWhyOnce) {
  Report r;
  r.path = "D:\\";
  r.total_bytes = 15784004812;
  r.greens.push_back(judged_green("D:\\Users\\alice\\Documents\\Recordings\\cache", 15784004812));
  r.greens.push_back(judged_green("D:\\Users\\alice\\AppData\\Local\\Temp", 1610612736));
  const std::string report = render(r, 20);
  EXPECT_EQ(report.substr(report.find("\n\n")),
            "\n\n建议清理(绿标,前 20):\n"
            "  1.    14.7 GB  D:\\Users\\alice\\Documents\\Recordings\\cache  [先检查]\n"
            "  2.     1.5 GB  D:\\Users\\alice\\AppData\\Local\\Temp\n"
            "(共 2 项,完整清单用 --json)\n"
            "[先检查]:这些项只是名称像缓存或临时文件夹,或位于删除会丢失数据的地方"
            "(用户规则、云同步文件夹等),请先看看里面是什么。\n" +
                FOOTER);
  // The note follows only lines that carry the mark: cut before it, none.
  const std::string one = render(r, 0);
  EXPECT_EQ(one.find("[先检查]"), std::string::npos);
}

TEST(TextReport, LeavesOutEmptyListsAndHandlesZeroTotalsTiesAndWideColumns) {
  Report r;
  Node tree;
  r.path = "/data";
  const std::string head = "Morvane CLI v" + std::string(TOOL_VERSION) +
                           " — /data\n"
                           "总计 0 B ｜ 0 个文件 ｜ 0 个目录 ｜ 0 项拒绝访问 ｜ 扫描 0ms\n";
  EXPECT_EQ(render(with(r, tree), 20), head + FOOTER);

  // total 0: no division error, every share 0.0; equal sizes keep tree order;
  // a green mark shows its pattern; top above the count shows every child.
  tree.children.push_back(entry("b", 0));
  tree.children.push_back(entry("a", 0, mark(State::green, "a")));
  EXPECT_EQ(render(with(r, tree), 5), head +
                                          "\n一级占用(前 5):\n"
                                          "  1.        0 B   0.0%  b\n"
                                          "  2.        0 B   0.0%  a  [绿 a]\n" +
                                          FOOTER);

  // One child holding everything prints 100.0; a size wider than ten
  // characters and line numbers past 999 widen their columns, never cut.
  Report big;
  Node big_tree;
  big.path = "/";
  big.total_bytes = 18446744073709551615u;
  big_tree.children.push_back(entry("all", big.total_bytes));
  for (int i = 0; i < 1000; ++i) big.greens.push_back(green("/g", 1));
  const std::string text = render(with(big, big_tree), 1000);
  EXPECT_NE(text.find("\n  1. 16777216.0 TB 100.0%  all\n"), std::string::npos);
  EXPECT_NE(text.find("\n999.        1 B  /g\n1000.        1 B  /g\n(共 1000 项"),
            std::string::npos);
}

TEST(TextReport, OnATerminalControlCharactersInNamesPathsAndPatternsShowAsReplacement) {
  // LF, ESC sequence, DEL, C1 CSI (U+009B) and a stray byte 0x9B, next to
  // text that must survive: CJK, U+00A0 (first code point after C1), "~".
  const std::string hostile =
      "a\nb\x1b[31mc\x7f"
      "d\xc2\x9b"
      "e\x9b"
      "f\xe4\xb8\xad\xc2\xa0~";
  const std::string shown =
      "a\xef\xbf\xbd"
      "b\xef\xbf\xbd[31mc\xef\xbf\xbd"
      "d\xef\xbf\xbd"
      "e\xef\xbf\xbd"
      "f\xe4\xb8\xad\xc2\xa0~";
  Report r;
  Node tree;
  r.path = "/x" + hostile;
  r.total_bytes = 10;
  tree.children.push_back(entry(hostile, 10, mark(State::green, "p" + hostile)));
  r.greens.push_back(green("/y" + hostile, 10));
  r.greens.push_back(green(std::string("\0\t\r", 3), 0));

  const std::string on_terminal = render(with(r, tree), 20, true);
  EXPECT_EQ(on_terminal, "Morvane CLI v" + std::string(TOOL_VERSION) + " — /x" + shown +
                             "\n总计 10 B ｜ 0 个文件 ｜ 0 个目录 ｜ 0 项拒绝访问 ｜ 扫描 0ms\n"
                             "\n一级占用(前 20):\n"
                             "  1.       10 B 100.0%  " +
                             shown + "  [绿 p" + shown +
                             "]\n"
                             "\n建议清理(绿标,前 20):\n"
                             "  1.       10 B  /y" +
                             shown +
                             "\n"
                             "  2.        0 B  \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\n"
                             "(共 2 项,完整清单用 --json)\n" +
                             FOOTER);

  // Redirected output keeps every byte as it is.
  const std::string raw = render(with(r, tree), 20, false);
  EXPECT_NE(raw.find("— /x" + hostile + "\n"), std::string::npos);
  EXPECT_NE(raw.find("100.0%  " + hostile + "  [绿 p" + hostile + "]\n"), std::string::npos);
  EXPECT_NE(raw.find("  /y" + hostile + "\n"), std::string::npos);
  EXPECT_NE(raw.find(std::string("  \0\t\r\n", 5)), std::string::npos);
}

}  // namespace
}  // namespace oskra
