#include "walk/node_store.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace oskra {
namespace {

// Pieces of every size class, past the first blocks and into mapped ones
// and one larger than any block yet: each must be aligned as asked and
// keep what was written into it while all the others are written too.
TEST(NodeStore, PiecesAreAlignedAndNeverOverlap) {
  struct Piece {
    unsigned char* at;
    std::size_t size;
    unsigned char fill;
  };
  NodeStore store;
  std::vector<Piece> pieces;
  const std::size_t sizes[] = {1, 7, 80, 4096, 60 << 10, 70 << 10, 3 << 20, 90 << 20};
  std::size_t n = 0;
  for (int round = 0; round < 40; ++round) {
    for (const std::size_t size : sizes) {
      if (size > (1 << 20) && round % 10 != 0) continue;
      const std::size_t alignment = std::size_t{1} << (n % 7);
      auto* at = static_cast<unsigned char*>(store.allocate(size, alignment));
      ASSERT_EQ(reinterpret_cast<std::uintptr_t>(at) % alignment, 0u);
      const auto fill = static_cast<unsigned char>(++n);
      std::memset(at, fill, size);
      pieces.push_back(Piece{at, size, fill});
    }
  }
  for (const Piece& p : pieces) {
    const std::size_t wrong = [&p] {
      for (std::size_t i = 0; i < p.size; ++i) {
        if (p.at[i] != p.fill) return i;
      }
      return p.size;
    }();
    EXPECT_EQ(wrong, p.size) << "piece of " << p.size << " bytes";
  }
}

}  // namespace
}  // namespace oskra
