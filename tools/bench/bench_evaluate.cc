// Cost of one verdict: RuleEngine::evaluate with the built-in rules and
// twenty user rules of every pattern class, on paths the walk really asks
// about. The walk calls it once per directory and once per detail file, so
// its cost per call multiplies by hundreds of thousands.
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "rules/rules.h"

namespace {

using oskra::Rule;
using oskra::RuleEngine;
using oskra::State;

// A user's rules.json as it might grow over time: names, wildcard names,
// literal paths (Windows and Linux spelling) and wildcard paths.
std::vector<Rule> user_rules() {
  const std::pair<std::string_view, State> rows[] = {
      {"node_modules", State::green},
      {"__pycache__", State::green},
      {".gradle", State::green},
      {"target", State::green},
      {".git", State::red},
      {"*.tmp", State::green},
      {"*.log", State::green},
      {"*.dmp", State::green},
      {"~$*", State::green},
      {"*.iso", State::red},
      {R"(D:\Projects\MyGame\build)", State::green},
      {"D:/Photos", State::red},
      {R"(C:\Users\a\Documents)", State::red},
      {"/home/a/.cache", State::green},
      {R"(C:\Users\a\AppData\Local\Programs)", State::red},
      {R"(C:\Users\*\AppData\Local\JetBrains\*\caches)", State::green},
      {R"(?:\Users\*\AppData\Local\Temp\*)", State::green},
      {"/home/*/.local/share/Trash", State::green},
      {R"(?:\Users\*\AppData\Local\Packages\*\LocalCache)", State::green},
      {R"(?:\Users\*\Downloads\*.iso)", State::red},
  };
  std::vector<Rule> rules;
  for (const auto& [pattern, state] : rows) {
    rules.push_back(Rule{std::string(pattern), state, "user reason", "user action"});
  }
  return rules;
}

void evaluate(benchmark::State& state, std::string_view path, bool with_user_rules) {
  const RuleEngine engine = with_user_rules ? RuleEngine(user_rules()) : RuleEngine();
  benchmark::DoNotOptimize(engine.evaluate(path));  // builds the built-in table
  for (auto _ : state) {
    auto mark = engine.evaluate(path);
    benchmark::DoNotOptimize(mark);
  }
}

// The two typical paths first, then a file with no verdict, a red system
// folder, a Linux path as the walk gives it, a non-ASCII path, and a long
// path deep in a node_modules tree.
constexpr std::string_view PIP_CACHE = R"(C:\Users\a\AppData\Local\pip\cache\wheels)";
constexpr std::string_view NODE_MODULES = "/home/a/project/node_modules/x";
constexpr std::string_view PLAIN_FILE = R"(C:\Users\a\Documents\report 2023.docx)";
constexpr std::string_view SYSTEM_DIR = R"(C:\Windows\System32\drivers\etc)";
constexpr std::string_view LINUX_TEMP = "/tmp/oskra-bench/tree-300000/AppData/Local/Temp";
constexpr std::string_view NON_ASCII = R"(C:\Users\a\文档\照片\2019\Größe\IMG_0001.JPG)";
constexpr std::string_view DEEP =
    "/home/a/projects/web-shop/node_modules/@babel/core/lib/transformation/file/"
    "options/config-chain-helpers.js";

BENCHMARK_CAPTURE(evaluate, pip_cache, PIP_CACHE, true);
BENCHMARK_CAPTURE(evaluate, node_modules, NODE_MODULES, true);
BENCHMARK_CAPTURE(evaluate, plain_file, PLAIN_FILE, true);
BENCHMARK_CAPTURE(evaluate, system_dir, SYSTEM_DIR, true);
BENCHMARK_CAPTURE(evaluate, linux_temp, LINUX_TEMP, true);
BENCHMARK_CAPTURE(evaluate, non_ascii, NON_ASCII, true);
BENCHMARK_CAPTURE(evaluate, deep, DEEP, true);
// The same without user rules: what the user rules add.
BENCHMARK_CAPTURE(evaluate, builtin_only_pip_cache, PIP_CACHE, false);
BENCHMARK_CAPTURE(evaluate, builtin_only_node_modules, NODE_MODULES, false);

}  // namespace

BENCHMARK_MAIN();
