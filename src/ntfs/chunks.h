// The table's records in large pieces, handed out in order to the threads
// that parse them. Each thread reads its piece into a buffer of its own and
// parses it while the other reads the next: copying (or waiting for the
// disk) and parsing overlap, and the parsing is shared.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "ntfs/volume.h"

namespace oskra::ntfs::detail {

class Chunks {
 public:
  Chunks(const Volume& volume, const MftLayout& layout);

  // A buffer that holds any piece.
  AlignedBuffer buffer() const;

  // Reads the next piece into `buffer`: the number of its first record and
  // its bytes (whole records). False after the last one, or once `stop`
  // was called. Pieces are read one at a time, in the table's order.
  bool next(AlignedBuffer& buffer, std::uint64_t& first, std::span<std::byte>& bytes);
  void stop() { stopped_.store(true, std::memory_order_relaxed); }

 private:
  const Volume& volume_;
  const MftLayout& layout_;
  std::uint64_t records_per_chunk_ = 0;
  std::uint64_t chunks_ = 0;

  std::mutex lock_;          // held while a piece is chosen and read
  std::uint64_t taken_ = 0;  // pieces handed out so far
  std::atomic<bool> stopped_{false};
};

}  // namespace oskra::ntfs::detail
