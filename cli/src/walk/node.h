// The detail tree: one `Node` per entry the walk keeps, each owning its
// children, with texts shared per folder.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory_resource>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "rules/rules.h"

namespace oskra {

namespace detail {

// Text that nodes share and never change: a folder's display path and
// separator followed by the names of its entries, or one node's whole path
// and name. One block per folder instead of two strings per entry is what
// keeps a detail tree of millions of entries small; the block lives as long
// as the last node that uses it.
class NodeText {
 public:
  NodeText() = default;
  NodeText(const NodeText& other) noexcept;
  NodeText(NodeText&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
  NodeText& operator=(NodeText other) noexcept {
    std::swap(block_, other.block_);
    return *this;
  }
  ~NodeText();

  // A block holding `parts` one after the other, of which the first `head`
  // bytes are a path. With `whole` that path is a node's own; otherwise
  // each node using the block has that path followed by its name as its path.
  NodeText(std::initializer_list<std::string_view> parts, std::size_t head, bool whole);

  std::string_view head() const;
  bool whole() const;
  // Where the block's bytes begin; an empty text where there is no block.
  const char* data() const {
    return block_ == nullptr ? "" : reinterpret_cast<const char*>(block_ + 1);
  }
  // Everything the block holds.
  std::string_view bytes() const;

 private:
  struct Block {
    std::atomic<std::size_t> refs;  // copies are counted from any thread
    std::size_t size;
    std::size_t head;
    bool whole;
  };
  Block* block_ = nullptr;
};

}  // namespace detail

// The display path of a node in two pieces: the first, then the second
// (empty, or the node's name).
struct PathPieces {
  std::string_view head;
  std::string_view tail;
};

// One entry of the detail tree. Owns everything it holds but its text,
// which copies share and nobody changes; no parent links.
class Node {
 public:
  // The last component; empty for a drive or file system root.
  std::string_view name() const { return {text_.data() + name_at_, name_size_}; }
  // The full path in display form.
  std::string path() const;
  PathPieces path_pieces() const;
  // A node that stands alone (a root, a green entry, a test's own) gets its
  // texts here.
  void set_name_and_path(std::string_view name, std::string_view path);

  std::uint64_t bytes = 0;
  std::uint64_t files = 0;     // files beneath a directory; 0 for a file
  std::uint64_t dirs = 0;      // itself plus directories beneath; 0 for a file
  const Mark* mark = nullptr;  // the effective verdict, shared: owned by the rule engine
  // Its folder could not be opened, or its listing broke off: its totals
  // are lower bounds.
  bool denied() const { return denied_ != 0; }
  void set_denied(bool denied) { denied_ = denied ? 1 : 0; }
  // Where the array comes from: the heap, or the walk's NodeStore.
  using Children = std::pmr::vector<Node>;
  Children children;  // listing order

  Node() = default;
  // A node whose children will come from `store`, which must outlive it.
  explicit Node(std::pmr::memory_resource* store) : children(store) {}
  // A copy's children come from the heap, whatever the original's came from.
  Node(const Node&) = default;
  Node(Node&& other) noexcept;
  Node& operator=(const Node&) = default;
  Node& operator=(Node&& other) noexcept;
  // Takes the tree apart level by level: a detail tree can be many thousands
  // of levels deep, too deep to free by plain recursion.
  ~Node();

  // A copy without children whose text is its own, so it keeps nothing of
  // the tree it was taken from alive.
  Node copy_alone() const;

  friend bool operator==(const Node& a, const Node& b);

 private:
  friend class EntryNames;
  detail::NodeText text_;
  // The name within `text_`, by offset: a pointer would make every node
  // of a whole-tree run 8 bytes larger.
  std::uint32_t name_at_ = 0;
  // A name is at most a few hundred bytes; the flag takes the top bit so a
  // node stays as small as before.
  std::uint32_t name_size_ : 31 = 0;
  std::uint32_t denied_ : 1 = 0;
};

// The names of one folder's entries in one shared block, handed out in the
// order they were written: the walk writes them when the folder is listed
// and gives them to the entries' nodes as it takes the records in.
class EntryNames {
 public:
  // Ends each name in the text given to the constructor. Valid UTF-8, which
  // every name is, never holds this byte.
  static constexpr char NAME_END = '\xFF';

  EntryNames() = default;
  // `text` is the folder's display path and its separator (`head` bytes),
  // then each name followed by NAME_END.
  EntryNames(std::string_view text, std::size_t head);

  // Gives `node` the next name, and the folder's path and separator
  // followed by it as its path.
  void name_next(Node& node);

 private:
  detail::NodeText text_;
  std::string_view rest_;  // the names not yet handed out
};

// Totals stop at the largest value instead of wrapping around.
inline void add_saturating(std::uint64_t& total, std::uint64_t more) {
  total = more > UINT64_MAX - total ? UINT64_MAX : total + more;
}

// Adds the bytes, files and folders of `from` to those of `to`.
inline void add_totals(Node& to, const Node& from) {
  add_saturating(to.bytes, from.bytes);
  add_saturating(to.files, from.files);
  add_saturating(to.dirs, from.dirs);
}

}  // namespace oskra
