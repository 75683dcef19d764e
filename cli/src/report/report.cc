#include "report/report.h"

#include <utility>

namespace oskra {

Report make_report(WalkResult walked, std::uint64_t elapsed_ms) {
  Report report;
  report.path = walked.root.path();
  report.total_bytes = walked.root.bytes;
  // A file as the root (the only root without a folder in it) is one file,
  // while its node, like any file's, counts nothing beneath it.
  report.files = walked.root.dirs == 0 ? 1 : walked.root.files;
  report.dirs = walked.root.dirs;
  report.denied = walked.denied;
  report.elapsed_ms = elapsed_ms;
  report.store = std::move(walked.store);
  report.tree = std::move(walked.root);
  report.greens = std::move(walked.greens);
  return report;
}

}  // namespace oskra
