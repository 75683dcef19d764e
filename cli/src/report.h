// The records a run produces: the detail tree and the report around it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "oskra_version.h"
#include "rules/rules.h"

namespace oskra {

// One entry of the detail tree. Owns everything it holds; no parent links.
struct Node {
  std::string name;  // last component; empty for a drive or file system root
  std::string path;  // full path in display form
  std::uint64_t bytes = 0;
  std::uint64_t files = 0;     // files beneath a directory; 0 for a file
  std::uint64_t dirs = 0;      // itself plus directories beneath; 0 for a file
  const Mark* mark = nullptr;  // the effective verdict, shared: owned by the rule engine
  std::vector<Node> children;  // listing order

  Node() = default;
  Node(const Node&) = default;
  Node(Node&&) noexcept = default;
  Node& operator=(const Node&) = default;
  Node& operator=(Node&&) noexcept = default;
  // Takes the tree apart level by level: a detail tree can be many thousands
  // of levels deep, too deep to free by plain recursion.
  ~Node();

  friend bool operator==(const Node&, const Node&) = default;
};

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
  Node tree;
  std::vector<Node> greens;  // largest first, at most 1000
};

}  // namespace oskra
