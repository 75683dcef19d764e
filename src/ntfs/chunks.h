// The table's records read in large pieces, in order, on a thread of its
// own one piece ahead of the one being parsed: copying (or waiting for the
// disk) and parsing overlap.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

#include "ntfs/volume.h"

namespace oskra::ntfs::detail {

class ChunkReader {
 public:
  ChunkReader(const Volume& volume, const MftLayout& layout);
  ChunkReader(const ChunkReader&) = delete;
  ChunkReader& operator=(const ChunkReader&) = delete;
  ~ChunkReader();

  // The next piece: the number of its first record and its bytes (whole
  // records). False after the last. Hands the piece returned before back
  // for reading; rethrows what failed reading this one.
  bool next(std::uint64_t& first, std::span<std::byte>& bytes);

 private:
  enum class Slot : std::uint8_t { free, full };

  void read_all();
  std::span<std::byte> piece(std::uint64_t chunk);

  const Volume& volume_;
  const MftLayout& layout_;
  std::uint64_t records_per_chunk_ = 0;
  std::uint64_t chunks_ = 0;
  std::uint64_t taken_ = 0;  // chunks handed to the parser so far
  AlignedBuffer buffers_[2];

  std::mutex lock_;
  std::condition_variable changed_;
  Slot slots_[2] = {Slot::free, Slot::free};
  bool stop_ = false;
  std::exception_ptr failure_;  // what ended the reading early
  std::thread thread_;          // last: started once everything else is set
};

}  // namespace oskra::ntfs::detail
