// Where the reader's large arrays live. A table of a million records is
// some hundred MiB built in a fraction of a second; in pages of 4 KiB that
// is tens of thousands of page faults, which cost more than the parsing.
// A caller may therefore hand over blocks straight from the system (in
// large pages where it can); without them, the heap serves.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

namespace oskra::ntfs {

struct BlockSource {
  // Arrays of at least this many bytes come from the source, in whole
  // multiples of it.
  static constexpr std::size_t BLOCK = std::size_t{2} << 20;

  // `bytes` (a multiple of BLOCK) of writable memory; null when there is
  // none. `give_back` takes back exactly such a block.
  void* (*take)(std::size_t bytes) = nullptr;
  void (*give_back)(void* block, std::size_t bytes) = nullptr;

  bool serves(std::size_t bytes) const { return take != nullptr && bytes >= BLOCK; }
  static std::size_t rounded(std::size_t bytes) { return (bytes + BLOCK - 1) / BLOCK * BLOCK; }
};

// A standard allocator over a BlockSource, so that a std::vector of the
// table keeps its usual form: small arrays from the heap, large ones from
// the source. Which one served is decided by the size alone, as freeing is
// told the size allocated.
template <class T>
class BlockAllocator {
 public:
  using value_type = T;
  using propagate_on_container_move_assignment = std::true_type;
  using propagate_on_container_copy_assignment = std::true_type;
  using propagate_on_container_swap = std::true_type;

  BlockAllocator() = default;
  // Not explicit: a vector of the table is made from a BlockSource as it is.
  BlockAllocator(BlockSource source) : source_(source) {}
  template <class U>
  BlockAllocator(const BlockAllocator<U>& other) : source_(other.source()) {}

  T* allocate(std::size_t n) const {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (!source_.serves(bytes)) return std::allocator<T>().allocate(n);
    void* block = source_.take(BlockSource::rounded(bytes));
    if (block == nullptr) throw std::bad_alloc();
    return static_cast<T*>(block);
  }
  void deallocate(T* p, std::size_t n) const {
    const std::size_t bytes = n * sizeof(T);
    if (!source_.serves(bytes)) {
      std::allocator<T>().deallocate(p, n);
      return;
    }
    source_.give_back(p, BlockSource::rounded(bytes));
  }

  const BlockSource& source() const { return source_; }
  template <class U>
  bool operator==(const BlockAllocator<U>& other) const {
    return source_.take == other.source().take && source_.give_back == other.source().give_back;
  }

 private:
  BlockSource source_;
};

template <class T>
using BlockVector = std::vector<T, BlockAllocator<T>>;

}  // namespace oskra::ntfs
