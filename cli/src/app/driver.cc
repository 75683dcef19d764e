#include "app/driver.h"

#include <chrono>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "app/status_line.h"
#include "platform/platform.h"
#include "report/json_report.h"
#include "report/report.h"
#include "report/text_report.h"
#include "report/writer.h"
#include "rules/rules.h"
#include "walk/walk.h"

namespace oskra {

std::optional<std::uint64_t> parse_number(std::string_view text, std::uint64_t max) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

Command parse_arguments(const std::vector<std::string>& args) {
  Command cmd;
  Options& o = cmd.options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      cmd.kind = Command::Kind::help;
      return cmd;
    }
    if (arg == "--json") {
      o.json = true;
    } else if (arg == "--depth" || arg == "--top") {
      const bool depth = arg == "--depth";
      if (i + 1 == args.size()) {
        // A trailing option without its value sets the default.
        if (depth) {
          o.depth = 1;
        } else {
          o.top = 20;
        }
        break;
      }
      const std::string& value = args[++i];
      if (depth) {
        o.depth = static_cast<std::uint32_t>(
            parse_number(value, std::numeric_limits<std::uint32_t>::max()).value_or(1));
      } else {
        o.top = parse_number(value, std::numeric_limits<std::uint64_t>::max()).value_or(20);
      }
    } else if (!arg.empty() && arg.front() == '-') {
      cmd.kind = Command::Kind::unknown;
      cmd.unknown = arg;
      return cmd;
    } else {
      o.path = arg;  // the last path wins
    }
  }
  cmd.kind = o.path ? Command::Kind::run : Command::Kind::no_path;
  return cmd;
}

namespace {

constexpr std::string_view WRITE_FAILED = "无法写入标准输出\n";

// After the usage text in a window opened by a double-click, which would
// otherwise close before it could be read.
constexpr std::string_view RUN_FROM_CONSOLE =
    "这是命令行程序:请在 cmd 或 PowerShell 中运行,后跟要分析的目录或盘符(如 oskra-cli D:)。"
    "按任意键关闭窗口。\n";

// A failed write to standard output ends the run with status 2: quietly
// when its reader has gone (`| head -1`), which is no fault of the run.
int write_failed(bool reader_gone) {
  if (!reader_gone) platform::write_stderr(WRITE_FAILED);
  return 2;
}

int write_usage(int status) {
  bool reader_gone = false;
  if (!platform::write_stdout(USAGE, reader_gone)) return write_failed(reader_gone);
  return status;
}

}  // namespace

std::string explain_source(const ScanSource& source) {
  std::string line = "数据来源: ";
  switch (source.kind) {
    case ScanSource::Kind::file:
      line += "单个文件的元数据";
      break;
    case ScanSource::Kind::table:
      line += "文件表 (MFT)";
      break;
    case ScanSource::Kind::listing:
      line += "逐个列出文件夹; 文件表";
      for (const char c : source.table_not_used) {
        if (static_cast<unsigned char>(c) < 0x20 || c == '\x7f') {
          line += "\xEF\xBF\xBD";
        } else {
          line.push_back(c);
        }
      }
      break;
  }
  line.push_back('\n');
  return line;
}

namespace {

void complain(std::string_view message, std::string_view value) {
  std::string line(message);
  line.append(value);
  line.push_back('\n');
  platform::write_stderr(line);
}

// Whether this build checks for leaks at exit (AddressSanitizer's).
#if defined(__SANITIZE_ADDRESS__)
#define OSKRA_LEAKS_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OSKRA_LEAKS_CHECKED 1
#endif
#endif

// A whole-tree report holds a node per entry. Taking them apart one by one
// just before the process ends costs about a third as long as writing them
// did, while the system takes back all of an ended process's memory at
// once. Where leaks are checked, the report is freed as usual, so the check
// still sees everything else.
void leave_to_exit(std::unique_ptr<Report> report) {
#ifdef OSKRA_LEAKS_CHECKED
  report.reset();
#else
  static_cast<void>(report.release());
#endif
}

int analyse(const Options& options) {
  const std::string& path = *options.path;
  if (!platform::exists(path)) {
    complain("路径不存在: ", path);
    return 2;
  }
  const std::optional<platform::NativeString> root = platform::canonicalize(path);
  if (!root) {
    complain("路径无法解析: ", path);
    return 2;
  }
  // Rules beside the program, if there is a usable file; the built-in ones
  // alone otherwise, silently.
  // The file's text goes once the engine is built: the engine keeps its own
  // copy of what it needs, and up to 16 MiB need not wait out the scan.
  const RuleEngine engine = [] {
    const std::optional<std::string> text = platform::read_file_beside_executable("rules.json");
    return text ? RuleEngine::from_rules_json(*text) : RuleEngine();
  }();

  const auto start = std::chrono::steady_clock::now();
  WalkResult scanned;
  ScanSource source;
  {
    StatusLine status(start);  // erased at the end of this block, before the report
    try {
      scanned = scan(
          *root, options.depth, engine,
          [&status](const WalkProgress& so_far) {
            status.update(so_far.bytes, so_far.files, so_far.dirs);
          },
          [&status](std::uint64_t read, std::uint64_t total) { status.update_table(read, total); },
          &source);
    } catch (const StreamOutOfOrder& fault) {
      // A fault of this program, never of the tree: no report rather than a
      // wrong one.
      status.erase();
      complain("内部错误: ", fault.what());
      return 2;
    }
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  if (platform::environment_set(platform::EXPLAIN_SWITCH)) {
    platform::write_stderr(explain_source(source));
  }
  auto kept = std::make_unique<Report>(
      make_report(std::move(scanned),
                  static_cast<std::uint64_t>(
                      std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count())));
  const Report& report = *kept;

  bool reader_gone = false;
  Writer out([&reader_gone](std::string_view piece) {
    return platform::write_stdout(piece, reader_gone);
  });
  if (options.json) {
    write_json_report(report, out);
  } else {
    write_text_report(report, options.top, platform::stdout_is_terminal(), out);
  }
  if (!out.flush()) return write_failed(reader_gone);
  leave_to_exit(std::move(kept));
  return 0;
}

}  // namespace

namespace {

// Any allocation that fails, anywhere in the run, ends it here: one line and
// status 2, never an abort. Nothing is unwound, so nothing more is allocated.
void out_of_memory() {
  std::set_new_handler(nullptr);
  platform::write_stderr("内存不足\n");
  std::_Exit(2);
}

}  // namespace

int run(int argc, char** argv) {
  std::set_new_handler(out_of_memory);
  platform::init_process();
  std::string bad;
  const std::optional<std::vector<std::string>> args = platform::arguments(argc, argv, bad);
  if (!args) {
    complain("参数不是有效的 Unicode 文本: ", bad);
    return 2;
  }
  const Command cmd = parse_arguments(*args);
  switch (cmd.kind) {
    case Command::Kind::help:
      return write_usage(0);
    case Command::Kind::unknown:
      complain("未知参数: ", cmd.unknown);
      return write_usage(2);
    case Command::Kind::no_path: {
      const int status = write_usage(2);
      if (platform::started_by_double_click(args->size())) {
        platform::write_stdout(RUN_FROM_CONSOLE);
        platform::wait_for_key();
      }
      return status;
    }
    case Command::Kind::run:
      break;
  }
  return analyse(cmd.options);
}

}  // namespace oskra
