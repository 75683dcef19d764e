#include "report.h"

#include <utility>

namespace oskra {

Node::~Node() {
  if (children.empty()) return;
  std::vector<Node> pending = std::move(children);
  while (!pending.empty()) {
    Node node = std::move(pending.back());
    pending.pop_back();
    for (Node& c : node.children) pending.push_back(std::move(c));
    // `node` now holds only emptied children: freeing it recurses one level.
  }
}

}  // namespace oskra
