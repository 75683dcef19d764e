#include "walk/node_store.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include "platform/platform.h"

namespace oskra {

NodeStore::~NodeStore() {
  for (const Block& block : blocks_) {
    if (block.mapped) {
      platform::release_block(block.data, block.size);
    } else {
      ::operator delete(block.data);
    }
  }
}

void* NodeStore::do_allocate(std::size_t bytes, std::size_t alignment) {
  const std::size_t pad =
      (alignment - reinterpret_cast<std::uintptr_t>(next_) % alignment) % alignment;
  if (next_ == nullptr || left_ < pad || left_ - pad < bytes) {
    add_block(bytes, alignment);
    return do_allocate(bytes, alignment);  // fits now, at most once more
  }
  void* at = next_ + pad;
  next_ += pad + bytes;
  left_ -= pad + bytes;
  return at;
}

void NodeStore::add_block(std::size_t bytes, std::size_t alignment) {
  // Room for the largest padding too; an array larger than the next block
  // (a folder of a million entries) gets a block of its own size.
  blocks_.reserve(blocks_.size() + 1);  // before the block, so it cannot leak
  const std::size_t needed = bytes + alignment;
  std::size_t size = std::max(next_size_, needed);
  next_size_ = std::min(next_size_ * 2, LARGEST_BLOCK);
  void* data = nullptr;
  bool mapped = false;
  if (size >= MAPPED_BLOCK) {
    data = platform::map_block(size);
    mapped = data != nullptr;
  }
  if (data == nullptr) {
    // No block from the system (a limit on address space): what is needed,
    // from the heap, whose failure ends the run as any other allocation's.
    if (size >= MAPPED_BLOCK) size = needed;
    data = ::operator new(size);
  }
  blocks_.push_back(Block{data, size, mapped});
  next_ = static_cast<char*>(data);
  left_ = size;
}

}  // namespace oskra
