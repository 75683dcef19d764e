// The one owner of a detail tree: its root and the store its arrays of
// children come from, always given up in that order. Nodes are handed out
// read-only; a subtree that must outlive the tree is copied (a copy's arrays
// come from the heap), never moved out of it.
#pragma once

#include <memory>
#include <utility>

#include "walk/node.h"
#include "walk/node_store.h"

namespace oskra {

class DetailTree {
 public:
  DetailTree() = default;
  // A tree whose arrays all come from the heap (a file alone, a tree made
  // by hand).
  explicit DetailTree(Node root) : root_(std::move(root)) {}
  // A tree whose arrays below the root come from `store`.
  DetailTree(std::unique_ptr<NodeStore> store, Node root)
      : store_(std::move(store)), root_(std::move(root)) {}

  DetailTree(DetailTree&&) noexcept = default;
  // Through a swap, so the tree given up goes before its store, whatever
  // the order members are assigned in.
  DetailTree& operator=(DetailTree&& other) noexcept {
    DetailTree gone(std::move(other));
    std::swap(store_, gone.store_);
    std::swap(root_, gone.root_);
    return *this;
  }
  DetailTree(const DetailTree&) = delete;
  DetailTree& operator=(const DetailTree&) = delete;
  ~DetailTree() = default;  // members go in reverse: the root, then the store

  const Node& root() const { return root_; }

 private:
  std::unique_ptr<NodeStore> store_;  // declared first: it goes last
  Node root_;
};

}  // namespace oskra
