// Where a detail tree's arrays of children live: large blocks from the
// system, handed out in order and given back all at once when the store
// goes. A whole-tree run builds hundreds of thousands of these arrays and
// frees none of them before the end; from the heap, each was a separate
// allocation, and the pages under them were faulted in one at a time.
#pragma once

#include <cstddef>
#include <memory_resource>
#include <vector>

namespace oskra {

class NodeStore final : public std::pmr::memory_resource {
 public:
  NodeStore() = default;
  NodeStore(const NodeStore&) = delete;
  NodeStore& operator=(const NodeStore&) = delete;
  // Every array made here must be gone first.
  ~NodeStore() override;

 private:
  struct Block {
    void* data;
    std::size_t size;
    bool mapped;  // from the system, not from the heap
  };

  void* do_allocate(std::size_t bytes, std::size_t alignment) override;
  // Nothing is given back before the store goes.
  void do_deallocate(void* /*p*/, std::size_t /*bytes*/, std::size_t /*alignment*/) override {}
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }
  // Starts a block that holds at least `bytes` at any alignment up to `alignment`.
  void add_block(std::size_t bytes, std::size_t alignment);

  std::vector<Block> blocks_;
  char* next_ = nullptr;  // the free rest of the last block
  std::size_t left_ = 0;
  std::size_t next_size_ = FIRST_BLOCK;

  // Small trees (the default depth keeps a few thousand entries) take their
  // blocks from the heap and cost no more memory than before; from 2 MiB on
  // a block comes from the system, in large pages where it can.
  static constexpr std::size_t FIRST_BLOCK = 64u << 10;
  static constexpr std::size_t MAPPED_BLOCK = 2u << 20;
  static constexpr std::size_t LARGEST_BLOCK = 64u << 20;
};

}  // namespace oskra
