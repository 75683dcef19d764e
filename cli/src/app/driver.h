// The app layer (this folder): the program's entry point (main.cc), this
// driver, and the status line a scan shows on a terminal (status_line.h).
// It is the only layer that sees all the others: it hands the walk layer a
// root and the report layer a result, and nothing below it reaches up.
//
// The driver: reads the command line, checks and resolves the path, builds
// the rule engine, times one walk, and writes one of the two reports.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "oskra_version.h"

namespace oskra {

// clang-format off
inline constexpr std::string_view USAGE =
    OSKRA_PRODUCT_NAME " v" OSKRA_VERSION "\n"
    "用法: oskra-cli <path> [--json] [--depth N] [--top N]\n"
    "  <path>   要分析的目录或盘符\n"
    "  --json   JSON 输出(含树明细与全部绿标清单)\n"
    "  --depth  明细保留层级(默认 1,总量统计始终全树)\n"
    "  --top    文本输出每清单条数上限(默认 20)\n"
    "内置 37 条红绿规则 + exe 同目录 rules.json 用户规则;只看不删,全程本机。\n";
// clang-format on

struct Options {
  std::optional<std::string> path;
  bool json = false;
  std::uint32_t depth = 1;
  std::uint64_t top = 20;
};

// What the command line asks for.
struct Command {
  enum class Kind {
    run,      // options.path is set
    help,     // -h or --help met first
    unknown,  // `unknown` holds the first unknown option
    no_path,  // nothing to analyse
  };
  Kind kind = Kind::no_path;
  Options options;
  std::string unknown;
};

// Reads the arguments (program name already dropped) left to right.
Command parse_arguments(const std::vector<std::string>& args);

// An optional single "+", then ASCII digits only, with a value of at most
// `max`; nothing otherwise.
std::optional<std::uint64_t> parse_number(std::string_view text, std::uint64_t max);

struct ScanSource;

// The line OSKRA_EXPLAIN asks for: which way the tree was read and, when
// the volume's table was not read or not used, why. One line whatever the
// names in it hold: control characters show as U+FFFD.
std::string explain_source(const ScanSource& source);

// The whole run; returns the exit status.
int run(int argc, char** argv);

}  // namespace oskra
