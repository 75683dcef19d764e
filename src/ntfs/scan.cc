#include "ntfs/scan.h"

#include <algorithm>
#include <bit>
#include <limits>

#include "ntfs/chunks.h"

namespace oskra::ntfs::detail {
namespace {

// No attribute list or reparse point is larger.
constexpr std::uint64_t MAX_LIST = 256u << 10;
constexpr std::uint64_t MAX_REPARSE = 16u << 10;

// $FILE_NAME namespaces: a name only in the DOS one is a file's short
// name, which a listing does not show as an entry of its own.
constexpr std::uint8_t DOS_NAMESPACE = 2;
constexpr std::uint8_t LAST_NAMESPACE = 3;

constexpr std::uint32_t RESERVED_FIRST = 12;
constexpr std::uint32_t RESERVED_END = 24;

class Scan {
 public:
  Scan(const Volume& volume, Gathered& out) : volume_(volume), out_(out) {}

  void record(std::span<std::byte> bytes, std::uint32_t index) {
    // Records 12 to 23 are kept free by the format and may never have
    // been written; none of them names an entry.
    if (index >= RESERVED_FIRST && index < RESERVED_END &&
        std::memcmp(bytes.data(), "FILE", 4) != 0) {
      return;
    }
    const RecordHeader h = check_record(bytes, index);
    if ((h.flags & RECORD_IN_USE) == 0) return;
    out_.sequence[index] = h.sequence;
    std::uint32_t owner = index;
    if (h.base == 0) {
      out_.state[index] |= BASE_IN_USE | ((h.flags & RECORD_IS_DIRECTORY) != 0 ? DIRECTORY : 0);
    } else {
      owner = in_range(record_of(h.base));
      out_.extensions.push_back({index, h.sequence, owner});
      out_.base_sequence.push_back(sequence_of(h.base));
    }
    for_each_attribute(bytes, h, [&](const Attribute& a) { take(owner, index, a); });
  }

 private:
  std::uint32_t in_range(std::uint64_t record) const {
    require(record < out_.facts.size(), "a reference to a record out of range");
    return static_cast<std::uint32_t>(record);
  }

  // Marks `what` as seen for `owner`; a second one is not understood.
  void once(std::uint32_t owner, RecordState what) {
    require((out_.state[owner] & what) == 0, "an attribute twice in one file");
    out_.state[owner] |= what;
  }

  void take(std::uint32_t owner, std::uint32_t index, const Attribute& a) {
    switch (a.type) {
      case STANDARD_INFORMATION:
        require(a.resident, "non-resident standard information");
        once(owner, HAS_INFORMATION);
        out_.facts[owner].attributes = load<std::uint32_t>(a.value, 0x20);
        break;
      case ATTRIBUTE_LIST:
        require(owner == index, "an attribute list in an extension record");
        once(owner, HAS_LIST);
        take_list(owner, a);
        break;
      case FILE_NAME:
        take_name(owner, a);
        break;
      case DATA:
        if (index == UPCASE_RECORD && !a.named) volume_.add_segment(out_.upcase, a);
        if (a.named) break;
        if (a.resident || a.lowest_vcn == 0) {
          take_data(owner, a);
        } else {
          out_.state[owner] |= HAS_DATA_TAIL;
        }
        break;
      case REPARSE_POINT:
        once(owner, HAS_REPARSE);
        take_reparse(owner, a);
        break;
      default:
        break;
    }
  }

  void take_name(std::uint32_t owner, const Attribute& a) {
    require(a.resident, "non-resident file name");
    const auto size = load<std::uint8_t>(a.value, 0x40);
    const auto space = load<std::uint8_t>(a.value, 0x41);
    require(size != 0 && space <= LAST_NAMESPACE && 0x42u + 2u * size <= a.value.size(),
            "bad file name");
    if (space == DOS_NAMESPACE) return;
    const auto parent = load<std::uint64_t>(a.value, 0);
    std::uint32_t offset = 0;
    require(out_.names.add(a.value.data() + 0x42, size, offset), "names too long");
    out_.links.push_back({owner, in_range(record_of(parent)), offset, sequence_of(parent), size});
  }

  void take_data(std::uint32_t owner, const Attribute& a) {
    once(owner, HAS_DATA);
    Facts& f = out_.facts[owner];
    f.size = a.resident ? a.value.size() : a.data_size;
    // A resident value takes its length rounded up to 8 bytes.
    f.allocated = a.resident ? (a.value.size() + 7) / 8 * 8 : a.on_disk;
  }

  // The tag leads a reparse point's data; a large one may be non-resident.
  void take_reparse(std::uint32_t owner, const Attribute& a) {
    Stream stream;
    volume_.add_segment(stream, a);
    volume_.finish(stream);
    require(stream.size >= 8 && stream.size <= MAX_REPARSE, "bad reparse point");
    const auto tag = load<std::uint32_t>(volume_.content(stream, 4), 0);
    require(tag != 0, "bad reparse point");
    out_.facts[owner].reparse_tag = tag;
  }

  void take_list(std::uint32_t owner, const Attribute& a) {
    Stream stream;
    volume_.add_segment(stream, a);
    volume_.finish(stream);
    require(stream.size <= MAX_LIST, "attribute list too large");
    for (const ListEntry& e : parse_attribute_list(volume_.content(stream, stream.size))) {
      const std::uint64_t segment = record_of(e.segment);
      if (segment != owner)
        out_.listed.push_back({in_range(segment), sequence_of(e.segment), owner});
    }
  }

  const Volume& volume_;
  Gathered& out_;
};

}  // namespace

Gathered scan_table(const Volume& volume, const MftLayout& layout, Progress* progress,
                    BlockSource blocks) {
  const Geometry& g = volume.geometry();
  Gathered out(blocks);
  out.facts.resize(layout.records);
  out.sequence.resize(layout.records);
  out.state.resize(layout.records);
  std::uint64_t in_use = 0;
  for (const std::byte b : layout.bitmap) in_use += std::popcount(std::to_integer<unsigned>(b));
  out.links.reserve(in_use);  // about one name each
  Scan scan(volume, out);
  ChunkReader chunks(volume, layout);
  std::uint64_t first = 0;
  std::span<std::byte> bytes;
  while (chunks.next(first, bytes)) {
    const std::uint64_t count = bytes.size() / g.record_size;
    for (std::uint64_t i = 0; i < count; ++i) {
      if (!layout.in_use(first + i)) continue;
      scan.record(bytes.subspan(i * g.record_size, g.record_size),
                  static_cast<std::uint32_t>(first + i));
    }
    if (progress != nullptr) {
      progress->records_read.store(first + count, std::memory_order_relaxed);
      if (progress->changed) progress->changed(*progress);
    }
  }
  // Past the initialized part there is nothing to read, so nothing in use.
  for (std::uint64_t index = layout.initialized; index < layout.records; ++index) {
    require(!layout.in_use(index), "a record in use past the table's initialized part");
  }
  return out;
}

}  // namespace oskra::ntfs::detail
