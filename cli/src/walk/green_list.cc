#include "walk/green_list.h"

#include <algorithm>
#include <utility>

namespace oskra {

bool GreenList::drops_later(const Entry& a, const Entry& b) {
  if (a.node.bytes != b.node.bytes) return a.node.bytes < b.node.bytes;
  return a.order > b.order;
}

void GreenList::offer(const Node& node) {
  const std::uint64_t order = offered_++;
  if (capacity_ == 0) return;
  // A new entry comes after every kept one, so with the list full it must be
  // strictly larger than the first to drop.
  if (heap_.size() == capacity_ && node.bytes <= heap_.front().node.bytes) return;
  // std::*_heap keep the "largest" on top; here that is the entry to drop.
  const auto cmp = [](const Entry& a, const Entry& b) { return drops_later(b, a); };
  if (heap_.size() == capacity_) {
    std::pop_heap(heap_.begin(), heap_.end(), cmp);
    heap_.pop_back();
  }
  heap_.push_back(Entry{node.copy_alone(), order});
  std::push_heap(heap_.begin(), heap_.end(), cmp);
}

std::vector<Node> GreenList::take_sorted() {
  std::sort(heap_.begin(), heap_.end(), [](const Entry& a, const Entry& b) {
    if (a.node.bytes != b.node.bytes) return a.node.bytes > b.node.bytes;
    return a.order < b.order;
  });
  std::vector<Node> out;
  out.reserve(heap_.size());
  for (Entry& e : heap_) out.push_back(std::move(e.node));
  heap_.clear();
  return out;
}

}  // namespace oskra
