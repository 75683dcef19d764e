#include "ntfs/chunks.h"

#include <algorithm>

namespace oskra::ntfs::detail {
namespace {

// About this much is read at a time: small enough to stay in the cache
// between the copy and the parsing; a small table still comes in several
// pieces, so that sharing the work is never a path only large tables take.
constexpr std::uint64_t CHUNK = std::uint64_t{1} << 20;
constexpr std::uint64_t LEAST_PIECES = 8;

// Records per piece: whole records and whole clusters.
std::uint64_t chunk_records(const Geometry& g, std::uint64_t records) {
  const std::uint64_t unit = std::max(g.record_size, g.cluster_size);
  const std::uint64_t wanted = std::min(CHUNK, records * g.record_size / LEAST_PIECES);
  return std::max(unit, wanted / unit * unit) / g.record_size;
}

}  // namespace

Chunks::Chunks(const Volume& volume, const MftLayout& layout)
    : volume_(volume),
      layout_(layout),
      records_per_chunk_(chunk_records(volume.geometry(), layout.initialized)),
      chunks_((layout.initialized + records_per_chunk_ - 1) / records_per_chunk_) {}

AlignedBuffer Chunks::buffer() const {
  return AlignedBuffer(records_per_chunk_ * volume_.geometry().record_size);
}

bool Chunks::next(AlignedBuffer& buffer, std::uint64_t& first, std::span<std::byte>& bytes) {
  const Geometry& g = volume_.geometry();
  const std::lock_guard<std::mutex> hold(lock_);
  if (taken_ == chunks_ || stopped_.load(std::memory_order_relaxed)) return false;
  const std::uint64_t chunk = taken_++;
  first = chunk * records_per_chunk_;
  const std::uint64_t count = std::min(records_per_chunk_, layout_.initialized - first);
  // Whole clusters are read; the buffer holds them, as a piece is whole
  // clusters unless it is the last.
  const std::uint64_t clusters = (count * g.record_size + g.cluster_size - 1) / g.cluster_size;
  volume_.read_virtual(layout_.runs, first * g.record_size / g.cluster_size,
                       buffer.first(clusters * g.cluster_size));
  bytes = buffer.first(count * g.record_size);
  return true;
}

}  // namespace oskra::ntfs::detail
