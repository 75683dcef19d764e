// The green entries of a walk, bounded: only what can still be among the
// `capacity` largest is kept, so millions of green entries cost no more than
// `capacity` of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "walk/node.h"

namespace oskra {

class GreenList {
 public:
  static constexpr std::size_t DEFAULT_CAPACITY = 1000;

  explicit GreenList(std::size_t capacity = DEFAULT_CAPACITY) : capacity_(capacity) {}

  // Offers an entry. A copy of it without children, sharing nothing with
  // the tree, is kept when it can still be among the largest.
  void offer(const Node& node);

  // Exactly what a stable sort of every offered entry by size (largest
  // first) cut to `capacity` would give: equal sizes in the order offered.
  std::vector<Node> take_sorted();

 private:
  struct Entry {
    Node node;
    std::uint64_t order;
  };
  // Heap order whose top is the entry to drop first: the smallest, and among
  // equal sizes the one offered last.
  static bool drops_later(const Entry& a, const Entry& b);

  std::size_t capacity_;
  std::uint64_t offered_ = 0;
  std::vector<Entry> heap_;
};

}  // namespace oskra
