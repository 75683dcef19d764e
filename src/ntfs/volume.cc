#include "ntfs/volume.h"

#include <algorithm>
#include <bit>
#include <limits>

namespace oskra::ntfs::detail {
namespace {

// One call of the read function takes at most this much.
constexpr std::size_t MAX_READ = std::size_t{16} << 20;
constexpr std::size_t BOOT_READ = 4096;

constexpr bool power_of_two(std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

Geometry parse_boot(Bytes boot) {
  require(
      std::memcmp(boot.data() + 3, "NTFS    ", 8) == 0 && load<std::uint16_t>(boot, 510) == 0xAA55,
      "not an NTFS boot sector");
  Geometry g;
  g.sector_size = load<std::uint16_t>(boot, 0x0B);
  require(power_of_two(g.sector_size) && g.sector_size >= 512 && g.sector_size <= BOOT_READ,
          "unknown sector size");
  // Above 0x80 the count is a negative power of two: 2^(256 - value).
  const auto per_cluster = load<std::uint8_t>(boot, 0x0D);
  const unsigned shift = per_cluster > 0x80 ? 256u - per_cluster : 0;
  require(per_cluster != 0 && shift <= 12, "unknown cluster size");
  const std::uint64_t sectors_per_cluster = shift != 0 ? std::uint64_t{1} << shift : per_cluster;
  const std::uint64_t cluster = sectors_per_cluster * g.sector_size;
  require(power_of_two(cluster) && cluster <= (std::uint64_t{2} << 20), "unknown cluster size");
  g.cluster_size = static_cast<std::uint32_t>(cluster);
  const auto total_sectors = load<std::uint64_t>(boot, 0x28);
  require(total_sectors < (std::uint64_t{1} << 52), "volume size out of range");
  g.total_clusters = total_sectors / sectors_per_cluster;
  g.mft_lcn = load<std::uint64_t>(boot, 0x30);
  require(g.mft_lcn < g.total_clusters, "master file table outside the volume");
  // Positive: clusters per record; negative: the record is 2^-value bytes.
  const auto per_record = load<std::int8_t>(boot, 0x40);
  const std::uint64_t record = per_record > 0     ? cluster * static_cast<std::uint64_t>(per_record)
                               : per_record > -32 ? std::uint64_t{1} << -per_record
                                                  : 0;
  require(power_of_two(record) && record >= 1024 && record <= 65536, "unknown record size");
  g.record_size = static_cast<std::uint32_t>(record);
  return g;
}

}  // namespace

Volume::Volume(const ReadAt& read) : read_(read) {
  AlignedBuffer boot(BOOT_READ);
  require(read_(0, boot.span()), "cannot read the boot sector");
  g_ = parse_boot(boot.span());
  // The last sector of the clusters must be there: so no size taken from
  // the volume later can be larger than the volume.
  require(g_.total_clusters > 0 && read_(g_.total_clusters * g_.cluster_size - g_.sector_size,
                                         boot.first(g_.sector_size)),
          "the volume is smaller than its boot sector says");
}

void Volume::read_clusters(std::uint64_t lcn, std::span<std::byte> out) const {
  const std::uint64_t count = out.size() / g_.cluster_size;
  require(out.size() % g_.cluster_size == 0 && lcn <= g_.total_clusters &&
              count <= g_.total_clusters - lcn,
          "a read outside the volume");
  for (std::size_t done = 0; done < out.size();) {
    const std::size_t n = std::min(MAX_READ, out.size() - done);
    const std::lock_guard<std::mutex> hold(read_lock_);
    require(read_(lcn * g_.cluster_size + done, out.subspan(done, n)), "read error");
    done += n;
  }
}

void Volume::read_virtual(const std::vector<Run>& runs, std::uint64_t vcn,
                          std::span<std::byte> out) const {
  const std::uint64_t cluster = g_.cluster_size;
  std::uint64_t left = out.size() / cluster;
  auto run = std::upper_bound(runs.begin(), runs.end(), vcn,
                              [](std::uint64_t v, const Run& r) { return v < r.vcn; });
  std::size_t at = 0;
  while (left > 0) {
    require(run != runs.begin() && vcn < std::prev(run)->vcn + std::prev(run)->length,
            "a stream is shorter than its size");
    const Run& r = *std::prev(run);
    const std::uint64_t n = std::min(left, r.vcn + r.length - vcn);
    const std::span<std::byte> piece = out.subspan(at, n * cluster);
    if (r.lcn == Run::HOLE) {
      std::fill(piece.begin(), piece.end(), std::byte{0});
    } else {
      read_clusters(r.lcn + (vcn - r.vcn), piece);
    }
    at += piece.size();
    vcn += n;
    left -= n;
    ++run;
  }
}

void Volume::add_segment(Stream& stream, const Attribute& a) const {
  require(!stream.resident && (!a.resident || stream.runs.empty()),
          "a stream both resident and not");
  if (a.resident) {
    stream.resident = true;
    stream.value.assign(a.value.begin(), a.value.end());
    stream.size = stream.initialized = a.value.size();
    return;
  }
  if (a.lowest_vcn == 0) {
    stream.size = a.data_size;
    stream.initialized = a.initialized_size;
  }
  decode_runs(a, g_.total_clusters, stream.runs);
}

void Volume::finish(Stream& stream) const {
  if (stream.resident) return;
  std::sort(stream.runs.begin(), stream.runs.end(),
            [](const Run& a, const Run& b) { return a.vcn < b.vcn; });
  std::uint64_t vcn = 0;
  for (const Run& r : stream.runs) {
    require(r.vcn == vcn, "the segments of a stream do not join up");
    vcn += r.length;
  }
  require(stream.size <= vcn * g_.cluster_size, "a stream is shorter than its size");
}

std::vector<std::byte> Volume::content(const Stream& stream, std::uint64_t bytes) const {
  require(bytes <= stream.size, "a stream is shorter than needed");
  if (stream.resident) return {stream.value.begin(), stream.value.begin() + bytes};
  const std::uint64_t cluster = g_.cluster_size;
  AlignedBuffer buffer((bytes + cluster - 1) / cluster * cluster);
  read_virtual(stream.runs, 0, buffer.span());
  std::vector<std::byte> out(buffer.span().begin(), buffer.span().begin() + bytes);
  // What lies past the initialized part reads as zeros, whatever is on disk.
  if (stream.initialized < bytes) {
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(stream.initialized), out.end(),
              std::byte{0});
  }
  return out;
}

namespace {

// What record 0 and its extension records say of the table itself.
struct MftStreams {
  Stream data;
  Stream bitmap;
  Stream list;
};

void take_mft_record(const Volume& volume, std::span<std::byte> record, std::uint64_t index,
                     MftStreams& streams) {
  const RecordHeader header = check_record(record, index);
  require((header.flags & RECORD_IN_USE) != 0 && record_of(header.base) == MFT_RECORD &&
              (index == MFT_RECORD) == (header.base == 0),
          "the master file table's own record is not in use");
  for_each_attribute(record, header, [&](const Attribute& a) {
    if (a.named) return;
    if (a.type == DATA) volume.add_segment(streams.data, a);
    if (a.type == BITMAP) volume.add_segment(streams.bitmap, a);
    if (a.type == ATTRIBUTE_LIST) {
      require(index == MFT_RECORD, "an attribute list in an extension record");
      volume.add_segment(streams.list, a);
    }
  });
}

// Reads record `index` of the table as far as `runs` map it.
void read_record(const Volume& volume, const std::vector<Run>& runs, std::uint64_t index,
                 std::vector<std::byte>& out) {
  const Geometry& g = volume.geometry();
  const std::uint64_t start = index * g.record_size;
  const std::uint64_t first = start / g.cluster_size;
  const std::uint64_t last = (start + g.record_size - 1) / g.cluster_size;
  AlignedBuffer buffer((last - first + 1) * g.cluster_size);
  volume.read_virtual(runs, first, buffer.span());
  const auto begin = buffer.span().begin() + static_cast<std::ptrdiff_t>(start % g.cluster_size);
  out.assign(begin, begin + g.record_size);
}

// The table's own $DATA and $BITMAP may continue in extension records,
// which lie in the part of the table record 0 maps already.
void take_extensions(const Volume& volume, MftStreams& streams) {
  const std::uint64_t list_size = streams.list.size;
  if (list_size == 0) return;
  require(list_size <= (256u << 10), "attribute list too large");
  volume.finish(streams.list);
  std::vector<std::uint64_t> records;
  for (const ListEntry& e : parse_attribute_list(volume.content(streams.list, list_size))) {
    if (!e.named && (e.type == DATA || e.type == BITMAP) && record_of(e.segment) != MFT_RECORD) {
      records.push_back(record_of(e.segment));
    }
  }
  std::sort(records.begin(), records.end());
  records.erase(std::unique(records.begin(), records.end()), records.end());
  std::vector<Run> known = streams.data.runs;
  std::sort(known.begin(), known.end(), [](const Run& a, const Run& b) { return a.vcn < b.vcn; });
  std::vector<std::byte> record;
  for (const std::uint64_t index : records) {
    require(index < (std::uint64_t{1} << 32), "a record out of range");
    read_record(volume, known, index, record);
    take_mft_record(volume, record, index, streams);
  }
}

}  // namespace

MftLayout read_mft_layout(const Volume& volume) {
  const Geometry& g = volume.geometry();
  MftStreams streams;
  std::vector<std::byte> record0;
  read_record(volume, {Run{0, g.total_clusters - g.mft_lcn, g.mft_lcn}}, 0, record0);
  take_mft_record(volume, record0, MFT_RECORD, streams);
  take_extensions(volume, streams);
  volume.finish(streams.data);
  volume.finish(streams.bitmap);
  require(!streams.data.resident, "master file table data resident");
  // The table's size is bounded by its runs, and they by the volume, before
  // anything is sized by it: a damaged size must fail here, not ask for
  // more memory than the machine has.
  std::uint64_t mapped = 0;
  for (const Run& r : streams.data.runs) {
    require(r.lcn != Run::HOLE, "a hole in the master file table");
    mapped += r.length;
    require(mapped <= g.total_clusters, "master file table larger than the volume");
  }
  require(streams.data.size <= mapped * g.cluster_size, "master file table larger than its runs");

  MftLayout layout;
  layout.runs = std::move(streams.data.runs);
  layout.records = streams.data.size / g.record_size;
  layout.initialized = streams.data.initialized / g.record_size;
  require(layout.records > FIRST_USER_RECORD &&
              layout.records <= std::numeric_limits<std::uint32_t>::max(),
          "master file table size out of range");
  layout.bitmap = volume.content(streams.bitmap, (layout.records + 7) / 8);
  // Records past the last one the bitmap marks in use are never looked at,
  // so nothing is sized for them: a table that claims far more records
  // than it uses (a damaged size over a sparse bitmap) costs no memory.
  std::size_t used_bytes = layout.bitmap.size();
  while (used_bytes > 0 && layout.bitmap[used_bytes - 1] == std::byte{0}) --used_bytes;
  const std::uint64_t last_byte =
      used_bytes == 0 ? 0 : std::to_integer<unsigned>(layout.bitmap[used_bytes - 1]);
  const std::uint64_t in_use_end =
      used_bytes == 0 ? 0 : (used_bytes - 1) * 8 + std::bit_width(last_byte);
  layout.records = std::max<std::uint64_t>(in_use_end, FIRST_USER_RECORD + 1);
  layout.initialized = std::min(layout.initialized, layout.records);
  layout.bitmap.resize((layout.records + 7) / 8);
  return layout;
}

}  // namespace oskra::ntfs::detail
