// The scanner: one depth-first walk of a directory tree that totals sizes
// and counts, counts directories that cannot be listed, builds the detail
// tree and collects the entries a rule marks green.
//
// Order: entries appear in `children` in listing order; nothing is sorted
// or filtered. Green entries are added in the order they finish: a green
// file when its record is met, a green directory after everything beneath
// it.
//
// Errors: `walk` never fails. A directory whose listing cannot be opened is
// counted in `denied` and kept with zero totals; a listing that breaks off
// keeps the records read before the break.
//
// Depth: the walk keeps its pending directories on an explicit stack, so a
// tree of any depth neither overflows the call stack nor (on Linux) holds a
// descriptor per level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "report.h"
#include "rules/rules.h"

namespace oskra {

// The text shown for a native path: lossy UTF-8 with every leading "\\?\"
// removed; nothing else changes.
std::string display_path(platform::NativeStringView path);

// The green entries of a walk, bounded: only what can still be among the
// `capacity` largest is kept, so millions of green entries cost no more than
// `capacity` of them. `take_sorted` gives exactly what a stable sort by size
// (largest first) of every added entry, cut to `capacity`, would give.
class GreenList {
 public:
  static constexpr std::size_t DEFAULT_CAPACITY = 1000;

  explicit GreenList(std::size_t capacity = DEFAULT_CAPACITY) : capacity_(capacity) {}

  // Whether an entry of this size, added now, would be kept. Lets the walk
  // skip copying a node that would be dropped at once.
  bool would_keep(std::uint64_t bytes) const;
  void add(Node node);
  std::size_t size() const { return heap_.size(); }

  // Largest first; equal sizes in the order they were added.
  std::vector<Node> take_sorted();

 private:
  struct Entry {
    Node node;
    std::uint64_t order;
  };
  // Heap whose top is the entry to drop first: the smallest, and among equal
  // sizes the one added last.
  static bool drops_later(const Entry& a, const Entry& b);

  std::size_t capacity_;
  std::uint64_t added_ = 0;
  std::vector<Entry> heap_;
};

// Walks the directory `root` (its exact native path) read through `source`.
// `limit` is the number of levels below `root` whose entries get detail
// nodes. Every directory, and every file that gets a node, is judged by
// `engine`; an entry without a verdict of its own takes its directory's.
Node walk(platform::DirectorySource& source, platform::NativeStringView root, std::uint32_t limit,
          const RuleEngine& engine, std::uint64_t& denied, std::optional<Mark> inherited,
          GreenList& greens);

}  // namespace oskra
