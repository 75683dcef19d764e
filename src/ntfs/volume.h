// The volume as the reader sees it: its geometry from the boot sector,
// reads of whole clusters, non-resident streams put together from their
// runs, and where the master file table itself lies.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "ntfs/format.h"
#include "ntfs/ntfs.h"

namespace oskra::ntfs::detail {

struct Geometry {
  std::uint32_t sector_size = 0;
  std::uint32_t cluster_size = 0;
  std::uint32_t record_size = 0;
  std::uint64_t total_clusters = 0;
  std::uint64_t mft_lcn = 0;
};

// One stream (an attribute's value), resident or put together from the
// runs of its segments.
struct Stream {
  bool resident = false;
  std::vector<std::byte> value;  // resident
  std::vector<Run> runs;         // non-resident, VCN order from 0
  std::uint64_t size = 0;
  std::uint64_t initialized = 0;
};

class Volume {
 public:
  // Reads and checks the boot sector, and that the volume is as large as
  // it says (which bounds everything allocated for it later).
  explicit Volume(const ReadAt& read);

  const Geometry& geometry() const { return g_; }

  // Reads the clusters from `lcn` on into `out`, a whole number of them.
  void read_clusters(std::uint64_t lcn, std::span<std::byte> out) const;
  // Reads the clusters of virtual cluster `vcn` on of a stream laid out by
  // `runs` into `out`, a whole number of clusters; holes read as zeros.
  void read_virtual(const std::vector<Run>& runs, std::uint64_t vcn,
                    std::span<std::byte> out) const;

  // Adds one attribute segment to `stream`; `finish` checks that the
  // segments join up from VCN 0 and cover the stream's size.
  void add_segment(Stream& stream, const Attribute& attribute) const;
  void finish(Stream& stream) const;
  // The bytes of a finished stream, of which there may be at most `limit`.
  std::vector<std::byte> content(const Stream& stream, std::uint64_t limit) const;

 private:
  const ReadAt& read_;
  mutable std::mutex read_lock_;  // the read function is called by one thread at a time
  Geometry g_;
};

// Where the master file table lies and which of its records are in use.
struct MftLayout {
  std::vector<Run> runs;
  std::uint64_t records = 0;      // records the table's data holds
  std::uint64_t initialized = 0;  // records within its initialized part
  std::vector<std::byte> bitmap;  // a bit per record, set when in use

  bool in_use(std::uint64_t record) const {
    return ((std::to_integer<unsigned>(bitmap[record / 8]) >> (record % 8)) & 1) != 0;
  }
};

// Reads record 0 (and its extension records, for a fragmented table) for
// the table's own runs and bitmap.
MftLayout read_mft_layout(const Volume& volume);

}  // namespace oskra::ntfs::detail
