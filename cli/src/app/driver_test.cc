#include "app/driver.h"

#include <gtest/gtest.h>

#include "walk/walk.h"

namespace oskra {
namespace {

using Kind = Command::Kind;

Command parse(std::vector<std::string> args) { return parse_arguments(args); }

TEST(ParseArguments, PathsOptionsAndDefaults) {
  Command c = parse({});
  EXPECT_EQ(c.kind, Kind::no_path);
  EXPECT_EQ(parse({"--json"}).kind, Kind::no_path);

  c = parse({"C:\\", "D:\\"});
  EXPECT_EQ(c.kind, Kind::run);
  EXPECT_EQ(c.options.path, "D:\\");  // the last path wins
  EXPECT_FALSE(c.options.json);
  EXPECT_EQ(c.options.depth, 1u);
  EXPECT_EQ(c.options.top, 20u);

  c = parse({"--json", "x", "--json"});
  EXPECT_TRUE(c.options.json);

  c = parse({""});  // the empty argument is a path
  EXPECT_EQ(c.kind, Kind::run);
  EXPECT_EQ(c.options.path, "");
}

TEST(ParseArguments, HelpAndUnknownOptions) {
  EXPECT_EQ(parse({"-h", "--bogus"}).kind, Kind::help);
  EXPECT_EQ(parse({"x", "--help"}).kind, Kind::help);
  Command c = parse({"--bogus", "-h"});
  EXPECT_EQ(c.kind, Kind::unknown);
  EXPECT_EQ(c.unknown, "--bogus");
  for (const char* arg : {"--JSON", "--Depth", "--", "-", "--json=1", "-H"}) {
    c = parse({"x", arg});
    EXPECT_EQ(c.kind, Kind::unknown) << arg;
    EXPECT_EQ(c.unknown, arg);
  }
}

TEST(ParseArguments, OptionValuesAreConsumedWhateverTheyLookLike) {
  // A trailing --depth sets the default and the path stands.
  Command c = parse({"x", "--depth", "3", "--depth"});
  EXPECT_EQ(c.kind, Kind::run);
  EXPECT_EQ(c.options.depth, 1u);
  // --depth eats the path: nothing left to analyse.
  EXPECT_EQ(parse({"--depth", "x"}).kind, Kind::no_path);
  // A consumed value is never an option: no help, no unknown option.
  c = parse({"x", "--depth", "-h"});
  EXPECT_EQ(c.kind, Kind::run);
  EXPECT_EQ(c.options.depth, 1u);
  c = parse({"x", "--top", "--json"});
  EXPECT_FALSE(c.options.json);
  EXPECT_EQ(c.options.top, 20u);
  // A bad value overrides an earlier good one.
  EXPECT_EQ(parse({"x", "--depth", "3", "--depth", "q"}).options.depth, 1u);
  EXPECT_EQ(parse({"x", "--top", "5", "--top"}).options.top, 20u);
}

TEST(ParseArguments, Numbers) {
  const auto depth = [](const char* v) { return parse({"x", "--depth", v}).options.depth; };
  EXPECT_EQ(depth("+2"), 2u);
  EXPECT_EQ(depth("02"), 2u);
  EXPECT_EQ(depth("0"), 0u);
  EXPECT_EQ(depth("4294967295"), 4294967295u);
  for (const char* bad :
       {"4294967296", "1 2", " 1", "1 ", "", "+", "-1", "++1", "1e3", "0x10", "１"}) {
    EXPECT_EQ(depth(bad), 1u) << bad;
  }
  const auto top = [](const char* v) { return parse({"x", "--top", v}).options.top; };
  EXPECT_EQ(top("-5"), 20u);
  EXPECT_EQ(top("0"), 0u);
  EXPECT_EQ(top("18446744073709551615"), 18446744073709551615u);
  EXPECT_EQ(top("18446744073709551616"), 20u);
  EXPECT_EQ(top("99999999999999999999"), 20u);
}

TEST(ExplainSource, OneLineSayingWhichWayAndWhyNotTheTable) {
  ScanSource source;
  source.kind = ScanSource::Kind::table;
  EXPECT_EQ(explain_source(source), "数据来源: 文件表 (MFT)\n");
  source.kind = ScanSource::Kind::file;
  EXPECT_EQ(explain_source(source), "数据来源: 单个文件的元数据\n");
  source.kind = ScanSource::Kind::listing;
  source.table_not_used = "未用: 自检不一致: 文件夹 D:\\a\nb\x1b[2J, 条目数: 文件表 1, 列出 2";
  EXPECT_EQ(explain_source(source),
            "数据来源: 逐个列出文件夹; 文件表未用: 自检不一致: 文件夹 D:\\a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD[2J, 条目数: 文件表 1, 列出 2\n");
}

}  // namespace
}  // namespace oskra
