#include "ntfs/format.h"

namespace oskra::ntfs::detail {
namespace {

// Attribute flags.
constexpr std::uint16_t COMPRESSION_MASK = 0x00FF;
constexpr std::uint16_t SPARSE = 0x8000;

// The largest VCN a stream can reach (clusters are counted in 64 bits, but
// no volume comes near 2^62 of them).
constexpr std::uint64_t VCN_LIMIT = std::uint64_t{1} << 62;

std::uint64_t little_endian(Bytes bytes, std::size_t at, unsigned size) {
  std::uint64_t value = 0;
  for (unsigned i = 0; i < size; ++i) {
    value |= std::uint64_t{std::to_integer<std::uint8_t>(bytes[at + i])} << (8 * i);
  }
  return value;
}

std::int64_t sign_extended(std::uint64_t value, unsigned size) {
  if (size < 8 && ((value >> (8 * size - 1)) & 1) != 0) value |= ~std::uint64_t{0} << (8 * size);
  return static_cast<std::int64_t>(value);
}

void take_non_resident(Bytes attr, Attribute& a) {
  require(attr.size() >= 0x40, "non-resident attribute header too short");
  a.lowest_vcn = load<std::uint64_t>(attr, 0x10);
  a.highest_vcn = load<std::uint64_t>(attr, 0x18);
  const auto pairs_at = load<std::uint16_t>(attr, 0x20);
  a.allocated_size = load<std::uint64_t>(attr, 0x28);
  a.data_size = load<std::uint64_t>(attr, 0x30);
  a.initialized_size = load<std::uint64_t>(attr, 0x38);
  // The runs are where the header says. A sparse or compressed stream also
  // says how much of it is on disk, in its first segment; a later segment
  // may carry the short header without that field, and its sizes mean
  // nothing anyway.
  require(pairs_at >= 0x40 && pairs_at <= attr.size(), "data runs out of bounds");
  const bool packed = (a.flags & (COMPRESSION_MASK | SPARSE)) != 0;
  if (packed && a.lowest_vcn == 0) require(pairs_at >= 0x48, "compressed size missing");
  a.on_disk = packed && pairs_at >= 0x48 ? load<std::uint64_t>(attr, 0x40) : a.allocated_size;
  if (a.lowest_vcn == 0) {
    require(a.initialized_size <= a.data_size && a.data_size <= a.allocated_size &&
                a.on_disk <= a.allocated_size,
            "attribute sizes out of order");
  }
  a.mapping_pairs = attr.subspan(pairs_at);
}

}  // namespace

RecordHeader check_record(std::span<std::byte> record, std::uint64_t index) {
  const Bytes bytes(record);
  require(std::memcmp(record.data(), "FILE", 4) == 0, "record in use without the FILE signature");
  const auto usa_at = load<std::uint16_t>(bytes, 4);
  const auto usa_count = load<std::uint16_t>(bytes, 6);
  require(usa_count == record.size() / FIXUP_STRIDE + 1 && usa_at % 2 == 0 && usa_at >= 0x28 &&
              usa_at + 2u * usa_count <= record.size(),
          "bad update sequence array");
  // The last two bytes of every 512 hold the sequence number while on disk;
  // the array keeps what belongs there. A mismatch is a torn write.
  const auto usn = load<std::uint16_t>(bytes, usa_at);
  for (std::size_t i = 1; i < usa_count; ++i) {
    const std::size_t end = i * FIXUP_STRIDE - 2;
    require(load<std::uint16_t>(bytes, end) == usn, TORN);
    std::memcpy(record.data() + end, record.data() + usa_at + 2 * i, 2);
  }
  RecordHeader h;
  h.sequence = load<std::uint16_t>(bytes, 0x10);
  h.first_attribute = load<std::uint16_t>(bytes, 0x14);
  h.flags = load<std::uint16_t>(bytes, 0x16);
  h.used = load<std::uint32_t>(bytes, 0x18);
  h.base = load<std::uint64_t>(bytes, 0x20);
  require(load<std::uint32_t>(bytes, 0x1C) == record.size() && h.used <= record.size() &&
              h.first_attribute >= usa_at + 2u * usa_count && h.first_attribute % 8 == 0 &&
              h.first_attribute < h.used,
          "bad record header");
  // Records of NTFS 3.1 name their own number.
  if (usa_at >= 0x30) {
    require(load<std::uint32_t>(bytes, 0x2C) == static_cast<std::uint32_t>(index),
            "record number does not match its place");
  }
  return h;
}

Attribute parse_attribute(Bytes record, std::size_t at, std::size_t end, std::uint32_t& length) {
  const Bytes used = record.first(end);
  Attribute a;
  a.type = load<std::uint32_t>(used, at);
  length = load<std::uint32_t>(used, at + 4);
  require(at % 8 == 0 && length >= 0x18 && length % 8 == 0 && length <= end - at,
          "bad attribute length");
  const Bytes attr = used.subspan(at, length);
  a.resident = load<std::uint8_t>(attr, 8) == 0;
  const auto name_size = load<std::uint8_t>(attr, 9);
  const auto name_at = load<std::uint16_t>(attr, 10);
  require(name_at + 2u * name_size <= length, "attribute name out of bounds");
  a.named = name_size != 0;
  a.flags = load<std::uint16_t>(attr, 12);
  if (!a.resident) {
    take_non_resident(attr, a);
    return a;
  }
  const auto value_size = load<std::uint32_t>(attr, 0x10);
  const auto value_at = load<std::uint16_t>(attr, 0x14);
  require(value_at <= length && value_size <= length - value_at, "resident value out of bounds");
  a.value = attr.subspan(value_at, value_size);
  return a;
}

std::vector<ListEntry> parse_attribute_list(Bytes list) {
  std::vector<ListEntry> out;
  for (std::size_t at = 0; at < list.size();) {
    const auto length = load<std::uint16_t>(list, at + 4);
    require(length >= 0x1A && length <= list.size() - at, "bad attribute list entry");
    const Bytes entry = list.subspan(at, length);
    const auto name_size = load<std::uint8_t>(entry, 6);
    require(load<std::uint8_t>(entry, 7) + 2u * name_size <= length, "bad attribute list entry");
    out.push_back({load<std::uint32_t>(entry, 0), name_size != 0, load<std::uint64_t>(entry, 8),
                   load<std::uint64_t>(entry, 0x10)});
    at += length;
  }
  return out;
}

void decode_runs(const Attribute& a, std::uint64_t total_clusters, std::vector<Run>& out) {
  require(!a.resident, "runs of a resident attribute");
  const Bytes pairs = a.mapping_pairs;
  std::uint64_t vcn = a.lowest_vcn;
  std::int64_t lcn = 0;
  std::size_t at = 0;
  for (;;) {
    require(at < pairs.size(), "data runs run past their attribute");
    const auto head = std::to_integer<unsigned>(pairs[at++]);
    if (head == 0) break;
    const unsigned length_size = head & 0xF;
    const unsigned offset_size = head >> 4;
    require(length_size >= 1 && length_size <= 8 && offset_size <= 8 &&
                pairs.size() - at >= length_size + offset_size,
            "bad data run");
    Run run{vcn, little_endian(pairs, at, length_size), Run::HOLE};
    at += length_size;
    require(run.length != 0 && vcn < VCN_LIMIT && run.length <= VCN_LIMIT - vcn, "bad data run");
    if (offset_size != 0) {
      const std::int64_t delta = sign_extended(little_endian(pairs, at, offset_size), offset_size);
      at += offset_size;
      require(!__builtin_add_overflow(lcn, delta, &lcn) && lcn >= 0 &&
                  static_cast<std::uint64_t>(lcn) <= total_clusters &&
                  run.length <= total_clusters - static_cast<std::uint64_t>(lcn),
              "a data run lies outside the volume");
      run.lcn = static_cast<std::uint64_t>(lcn);
    }
    vcn += run.length;
    out.push_back(run);
  }
  // An empty stream has its highest VCN at -1.
  require(vcn == a.highest_vcn + 1, "data runs do not cover their attribute");
}

}  // namespace oskra::ntfs::detail
