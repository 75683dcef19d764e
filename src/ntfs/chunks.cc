#include "ntfs/chunks.h"

#include <algorithm>

namespace oskra::ntfs::detail {
namespace {

// About this much is read at a time; a small table still comes in several
// pieces, so the reading thread is never a path that only large tables take.
constexpr std::uint64_t CHUNK = std::uint64_t{1} << 20;
constexpr std::uint64_t LEAST_PIECES = 8;

// Records per piece: whole records and whole clusters.
std::uint64_t chunk_records(const Geometry& g, std::uint64_t records) {
  const std::uint64_t unit = std::max(g.record_size, g.cluster_size);
  const std::uint64_t wanted = std::min(CHUNK, records * g.record_size / LEAST_PIECES);
  return std::max(unit, wanted / unit * unit) / g.record_size;
}

}  // namespace

ChunkReader::ChunkReader(const Volume& volume, const MftLayout& layout)
    : volume_(volume),
      layout_(layout),
      records_per_chunk_(chunk_records(volume.geometry(), layout.initialized)),
      chunks_((layout.initialized + records_per_chunk_ - 1) / records_per_chunk_),
      buffers_{AlignedBuffer(records_per_chunk_ * volume.geometry().record_size),
               AlignedBuffer(records_per_chunk_ * volume.geometry().record_size)},
      thread_([this] { read_all(); }) {}

ChunkReader::~ChunkReader() {
  {
    const std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

std::span<std::byte> ChunkReader::piece(std::uint64_t chunk) {
  const Geometry& g = volume_.geometry();
  const std::uint64_t first = chunk * records_per_chunk_;
  const std::uint64_t count = std::min(records_per_chunk_, layout_.initialized - first);
  return buffers_[chunk % 2].first(count * g.record_size);
}

void ChunkReader::read_all() {
  const Geometry& g = volume_.geometry();
  try {
    for (std::uint64_t chunk = 0; chunk < chunks_; ++chunk) {
      Slot& slot = slots_[chunk % 2];
      {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [&] { return stop_ || slot == Slot::free; });
        if (stop_) return;
      }
      // The slot is this thread's until it is marked full.
      const std::span<std::byte> bytes = piece(chunk);
      const std::uint64_t clusters = (bytes.size() + g.cluster_size - 1) / g.cluster_size;
      volume_.read_virtual(layout_.runs,
                           chunk * records_per_chunk_ * g.record_size / g.cluster_size,
                           buffers_[chunk % 2].first(clusters * g.cluster_size));
      {
        const std::lock_guard<std::mutex> hold(lock_);
        slot = Slot::full;
      }
      changed_.notify_all();
    }
  } catch (...) {
    {
      const std::lock_guard<std::mutex> hold(lock_);
      failure_ = std::current_exception();
    }
    changed_.notify_all();
  }
}

bool ChunkReader::next(std::uint64_t& first, std::span<std::byte>& bytes) {
  std::unique_lock<std::mutex> hold(lock_);
  if (taken_ > 0) {
    slots_[(taken_ - 1) % 2] = Slot::free;
    changed_.notify_all();
  }
  if (taken_ == chunks_) return false;
  Slot& slot = slots_[taken_ % 2];
  changed_.wait(hold, [&] { return slot == Slot::full || failure_ != nullptr; });
  if (slot != Slot::full) std::rethrow_exception(failure_);
  first = taken_ * records_per_chunk_;
  bytes = piece(taken_++);
  return true;
}

}  // namespace oskra::ntfs::detail
