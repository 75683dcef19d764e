#include "walk/node.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "walk/level_by_level.h"

namespace oskra {
namespace detail {

NodeText::NodeText(std::initializer_list<std::string_view> parts, std::size_t head, bool whole) {
  std::size_t size = 0;
  for (const std::string_view part : parts) size += part.size();
  void* memory = ::operator new(sizeof(Block) + size);
  block_ = new (memory) Block{{1}, size, head, whole};
  char* at = static_cast<char*>(memory) + sizeof(Block);
  for (const std::string_view part : parts) {
    if (!part.empty()) std::memcpy(at, part.data(), part.size());
    at += part.size();
  }
}

NodeText::NodeText(const NodeText& other) noexcept : block_(other.block_) {
  if (block_ != nullptr) block_->refs.fetch_add(1, std::memory_order_relaxed);
}

NodeText::~NodeText() {
  // The last owner frees it; acq_rel so every use by other owners comes first.
  if (block_ != nullptr && block_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    block_->~Block();
    ::operator delete(block_);
  }
}

std::string_view NodeText::head() const {
  return bytes().substr(0, block_ == nullptr ? 0 : block_->head);
}

bool NodeText::whole() const { return block_ == nullptr || block_->whole; }

std::string_view NodeText::bytes() const {
  if (block_ == nullptr) return {};
  return {reinterpret_cast<const char*>(block_ + 1), block_->size};
}

}  // namespace detail

// A whole-tree run holds one per entry: millions of them.
static_assert(sizeof(Node) <= 80, "a node has grown");

std::string Node::path() const {
  const PathPieces pieces = path_pieces();
  std::string path;
  path.reserve(pieces.head.size() + pieces.tail.size());
  path.append(pieces.head);
  path.append(pieces.tail);
  return path;
}

PathPieces Node::path_pieces() const {
  return {text_.head(), text_.whole() ? std::string_view() : name()};
}

void Node::set_name_and_path(std::string_view name, std::string_view path) {
  text_ = detail::NodeText({path, name}, path.size(), /*whole=*/true);
  name_at_ = static_cast<std::uint32_t>(path.size());
  name_size_ = static_cast<std::uint32_t>(name.size());
}

Node::Node(Node&& other) noexcept
    : bytes(other.bytes),
      files(other.files),
      dirs(other.dirs),
      mark(other.mark),
      children(std::move(other.children)),
      text_(std::move(other.text_)),
      // The name lives in the text: the node moved from has neither now.
      name_at_(std::exchange(other.name_at_, 0)),
      name_size_(other.name_size_),
      denied_(other.denied_) {
  other.name_size_ = 0;
}

Node& Node::operator=(Node&& other) noexcept {
  if (this != &other) {
    // `other` may be one of this node's own descendants: it is taken out
    // whole before the children it lives among go.
    Node taken(std::move(other));
    bytes = taken.bytes;
    files = taken.files;
    dirs = taken.dirs;
    mark = taken.mark;
    children = std::move(taken.children);
    text_ = std::move(taken.text_);
    name_at_ = taken.name_at_;
    name_size_ = taken.name_size_;
    denied_ = taken.denied_;
  }
  return *this;
}

Node::~Node() {
  if (children.empty()) return;
  // Level by level, moving only the lists of children that are not empty:
  // the nodes of a level then go without recursing.
  std::vector<Children> levels;
  levels.push_back(std::move(children));
  free_level_by_level(std::move(levels), [](Children& level, std::vector<Children>& pending) {
    for (Node& node : level) {
      if (!node.children.empty()) pending.push_back(std::move(node.children));
    }
  });
}

Node Node::copy_alone() const {
  Node copy;
  const PathPieces pieces = path_pieces();
  const std::size_t path_size = pieces.head.size() + pieces.tail.size();
  copy.text_ = detail::NodeText({pieces.head, pieces.tail, name()}, path_size, /*whole=*/true);
  copy.name_at_ = static_cast<std::uint32_t>(path_size);
  copy.name_size_ = name_size_;
  copy.bytes = this->bytes;
  copy.files = files;
  copy.dirs = dirs;
  copy.mark = mark;
  copy.denied_ = denied_;
  return copy;
}

bool operator==(const Node& a, const Node& b) {
  return a.name() == b.name() && a.path() == b.path() && a.bytes == b.bytes && a.files == b.files &&
         a.dirs == b.dirs && a.mark == b.mark && a.denied() == b.denied() &&
         a.children == b.children;
}

EntryNames::EntryNames(std::string_view text, std::size_t head)
    : text_({text}, head, /*whole=*/false), rest_(text_.bytes().substr(head)) {}

void EntryNames::name_next(Node& node) {
  const std::size_t size = std::min(rest_.find(NAME_END), rest_.size());
  const std::size_t at = static_cast<std::size_t>(rest_.data() - text_.data());
  if (at <= UINT32_MAX) {
    node.text_ = text_;
    node.name_at_ = static_cast<std::uint32_t>(at);
  } else {
    // Past 4 GiB of names in one folder the offset does not fit: a text of
    // its own, with the folder's path in front as the shared one has.
    const std::string_view head = text_.head();
    node.text_ = detail::NodeText({head, rest_.substr(0, size)}, head.size(), /*whole=*/false);
    node.name_at_ = static_cast<std::uint32_t>(head.size());
  }
  node.name_size_ = static_cast<std::uint32_t>(size);
  rest_.remove_prefix(std::min(size + 1, rest_.size()));
}

}  // namespace oskra
