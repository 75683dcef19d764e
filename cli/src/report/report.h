// The report layer: what one run found, and the two forms it is written in
// (text_report.h, json_report.h) through one buffered writer (writer.h),
// with the number formatting they share (format.h). It reads the walk's
// result and never walks, lists or judges anything itself.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "oskra_version.h"
#include "walk/node.h"
#include "walk/walk.h"

namespace oskra {

inline constexpr std::string_view PRODUCT_NAME = OSKRA_PRODUCT_NAME;
inline constexpr std::string_view TOOL_ID = OSKRA_TOOL_ID;
inline constexpr std::string_view TOOL_VERSION = OSKRA_VERSION;

// The result of one run, fields in output order.
struct Report {
  std::string_view tool = TOOL_ID;
  std::string_view version = TOOL_VERSION;
  std::string path;
  std::uint64_t total_bytes = 0;
  std::uint64_t files = 0;
  std::uint64_t dirs = 0;
  std::uint64_t denied = 0;
  // Whole milliseconds of the scan. 64 bits hold over 500 million years.
  std::uint64_t elapsed_ms = 0;
  DetailTree tree;
  std::vector<Node> greens;  // largest first, at most 1000
};

// The report of a walk that took `elapsed_ms`: the path is the root's, the
// totals are the root's, and the tree and the greens are moved in.
Report make_report(WalkResult walked, std::uint64_t elapsed_ms);

}  // namespace oskra
