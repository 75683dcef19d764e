// Speed of the JSON writer alone: a detail tree shaped like a home folder
// (the proportions of gen_tree.py's: names of 18 bytes on average, a third
// longer than 15, paths of about 90, one node in ten a directory, a third of
// the nodes marked) written through the program's Writer into /dev/null.
// The target is 1 GB/s or more; the whole-run figure is tools/bench/run.sh's.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "report/json_report.h"
#include "report/report.h"
#include "report/writer.h"

namespace {

using oskra::Mark;
using oskra::Node;
using oskra::Report;
using oskra::State;

const Mark CACHE{State::green, "cache", oskra::SOURCE_BUILTIN, "rule.reason.cacheDir",
                 "rule.action.safeToClean"};
const Mark SYSTEM{State::red, "?:\\Windows", oskra::SOURCE_BUILTIN, "rule.reason.system",
                  "rule.action.keep"};

// Deterministic names: short ASCII, long ASCII and non-ASCII ones. (Built by
// appending: g++ 12 -O3 warns falsely, -Wrestrict, on "literal" + string.)
std::string name_for(std::uint64_t n) {
  static constexpr std::string_view HEADS[] = {"file_", "file_", "a-rather-long-descriptive-name-",
                                               "照片_", "x",     "index."};
  static constexpr std::string_view TAILS[] = {".txt", ".txt", ".tar.gz", ".jpg", "", ".js"};
  std::string name(HEADS[n % 6]);
  name += std::to_string(n % 6 == 5 ? n % 1000 : n);
  name += TAILS[n % 6];
  return name;
}

// A folder's entries named as the walk names them: one block of names
// shared with the folder's path.
Node::Children entries(const std::string& folder, const std::vector<std::string>& names) {
  std::string text = folder + "/";
  const std::size_t head = text.size();
  for (const std::string& name : names) {
    text += name;
    text += oskra::EntryNames::NAME_END;
  }
  oskra::EntryNames block(text, head);
  Node::Children nodes(names.size());
  for (Node& node : nodes) block.name_next(node);
  return nodes;
}

// `dirs` folders of `subdirs` folders of `files` files each.
Report home_tree(std::uint64_t dirs, std::uint64_t subdirs, std::uint64_t files) {
  Report report;
  Node tree;
  report.path = "/home/someone/projects/workspace";
  tree.set_name_and_path("workspace", report.path);
  std::vector<std::string> dir_names;
  for (std::uint64_t d = 0; d < dirs; ++d) dir_names.push_back("project-" + std::to_string(d));
  tree.children = entries(report.path, dir_names);
  std::uint64_t n = 0;
  for (Node& dir : tree.children) {
    dir.dirs = 1;
    std::vector<std::string> sub_names;
    for (std::uint64_t s = 0; s < subdirs; ++s) sub_names.push_back(name_for(n++));
    dir.children = entries(dir.path(), sub_names);
    std::uint64_t s = 0;
    for (Node& sub : dir.children) {
      const Mark* mark = s % 3 == 0 ? &CACHE : s % 3 == 1 ? &SYSTEM : nullptr;
      ++s;
      sub.mark = mark;
      sub.dirs = 1;
      std::vector<std::string> file_names;
      for (std::uint64_t f = 0; f < files; ++f) file_names.push_back(name_for(n++));
      sub.children = entries(sub.path(), file_names);
      for (Node& file : sub.children) {
        file.bytes = (n++ * 2654435761u) % 100000000;
        file.mark = mark;
        sub.bytes += file.bytes;
        ++sub.files;
      }
      dir.bytes += sub.bytes;
      dir.files += sub.files;
      dir.dirs += sub.dirs;
    }
    tree.bytes += dir.bytes;
    tree.files += dir.files;
    tree.dirs += dir.dirs;
  }
  report.total_bytes = tree.bytes;
  report.files = tree.files;
  report.dirs = tree.dirs;
  report.tree = oskra::DetailTree(std::move(tree));
  return report;
}

void BM_WriteJsonReport(benchmark::State& state) {
  const Report report = home_tree(100, 10, 90);  // about 92,000 nodes
  const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    state.SkipWithError("cannot open /dev/null");
    return;
  }
  std::uint64_t written = 0;
  for (auto _ : state) {
    oskra::Writer out([&](std::string_view piece) {
      written += piece.size();
      return ::write(fd, piece.data(), piece.size()) == static_cast<ssize_t>(piece.size());
    });
    oskra::write_json_report(report, out);
    if (!out.flush()) state.SkipWithError("write failed");
  }
  ::close(fd);
  state.SetBytesProcessed(static_cast<std::int64_t>(written));
}
BENCHMARK(BM_WriteJsonReport)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
