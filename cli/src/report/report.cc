#include "report/report.h"

#include <utility>

namespace oskra {

Report make_report(WalkResult walked, std::uint64_t elapsed_ms) {
  Report report;
  const Node& root = walked.root();
  report.path = root.path();
  report.total_bytes = root.bytes;
  // A file as the root (the only root without a folder in it) is one file,
  // while its node, like any file's, counts nothing beneath it.
  report.files = root.dirs == 0 ? 1 : root.files;
  report.dirs = root.dirs;
  report.denied = walked.denied;
  report.elapsed_ms = elapsed_ms;
  report.tree = std::move(walked.tree);
  report.greens = std::move(walked.greens);
  return report;
}

}  // namespace oskra
