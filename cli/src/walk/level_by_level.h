// Freeing a tree far deeper than the call stack allows: detail trees and the
// listing engine's slots can be many thousands of levels deep, too deep to
// free by plain recursion.
#pragma once

#include <utility>
#include <vector>

namespace oskra {

// Frees `pending` and everything below it one item at a time: each item's
// children are moved out by `move_children(item, pending)` before the item
// goes, so freeing it recurses one level at most.
template <class Item, class MoveChildren>
void free_level_by_level(std::vector<Item> pending, MoveChildren move_children) {
  while (!pending.empty()) {
    Item item = std::move(pending.back());
    pending.pop_back();
    move_children(item, pending);
  }
}

}  // namespace oskra
