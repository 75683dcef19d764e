// The on-disk forms the reader understands: little-endian fields, FILE
// records with their update-sequence fixups, attribute headers and the data
// runs of non-resident attributes. Everything is checked against the bounds
// it lies in; whatever does not fit makes the whole read fail.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <vector>

namespace oskra::ntfs::detail {

static_assert(std::endian::native == std::endian::little, "fields are read as they lie on disk");

// Thrown wherever the table holds something the reader does not understand;
// read_table turns it into a failed result.
struct Unreadable {
  const char* what;
};
[[noreturn]] inline void fail(const char* what) { throw Unreadable{what}; }
// A record whose sectors were not all written together: on a live volume, a
// write in progress, worth reading again.
inline constexpr const char* TORN = "update sequence mismatch";
inline void require(bool ok, const char* what) {
  if (!ok) fail(what);
}

using Bytes = std::span<const std::byte>;

template <class T>
T load(Bytes bytes, std::size_t at) {
  require(at <= bytes.size() && bytes.size() - at >= sizeof(T), "a field lies outside its record");
  T value;
  std::memcpy(&value, bytes.data() + at, sizeof(T));
  return value;
}

// A file reference: a record number in the low 48 bits, the record's
// sequence number in the high 16.
constexpr std::uint64_t record_of(std::uint64_t reference) { return reference & 0xFFFFFFFFFFFF; }
constexpr std::uint16_t sequence_of(std::uint64_t reference) {
  return static_cast<std::uint16_t>(reference >> 48);
}

// Attribute types.
inline constexpr std::uint32_t STANDARD_INFORMATION = 0x10;
inline constexpr std::uint32_t ATTRIBUTE_LIST = 0x20;
inline constexpr std::uint32_t FILE_NAME = 0x30;
inline constexpr std::uint32_t DATA = 0x80;
inline constexpr std::uint32_t BITMAP = 0xB0;
inline constexpr std::uint32_t REPARSE_POINT = 0xC0;
inline constexpr std::uint32_t END_OF_ATTRIBUTES = 0xFFFFFFFF;

// Records of the volume's own files.
inline constexpr std::uint32_t MFT_RECORD = 0;
inline constexpr std::uint32_t UPCASE_RECORD = 10;
inline constexpr std::uint32_t FIRST_USER_RECORD = 16;

// Record header flags.
inline constexpr std::uint16_t RECORD_IN_USE = 0x1;
inline constexpr std::uint16_t RECORD_IS_DIRECTORY = 0x2;

// The update sequence protects every 512 bytes of a record, whatever the
// sector size.
inline constexpr std::size_t FIXUP_STRIDE = 512;

struct RecordHeader {
  std::uint64_t base = 0;  // reference of the base record; 0 for a base record
  std::uint16_t sequence = 0;
  std::uint16_t flags = 0;
  std::uint32_t first_attribute = 0;
  std::uint32_t used = 0;
};

// Checks the FILE record `record` (number `index`) and applies its fixups
// in place.
RecordHeader check_record(std::span<std::byte> record, std::uint64_t index);

struct Attribute {
  std::uint32_t type = 0;
  std::uint16_t flags = 0;
  bool resident = true;
  bool named = false;
  Bytes value;  // resident: the attribute's value
  // Non-resident: the clusters it covers and its sizes (sizes are valid in
  // the segment starting at VCN 0 only).
  std::uint64_t lowest_vcn = 0;
  std::uint64_t highest_vcn = 0;
  std::uint64_t allocated_size = 0;
  std::uint64_t data_size = 0;
  std::uint64_t initialized_size = 0;
  std::uint64_t on_disk = 0;  // clusters actually held, in bytes (less when sparse or compressed)
  Bytes mapping_pairs;
};

// Calls `each(const Attribute&)` for every attribute of a checked record.
template <class Each>
void for_each_attribute(Bytes record, const RecordHeader& header, Each&& each);

// One piece of a non-resident stream: `length` clusters from virtual
// cluster `vcn`, at logical cluster `lcn`, or a hole (reads as zeros).
struct Run {
  static constexpr std::uint64_t HOLE = ~std::uint64_t{0};
  std::uint64_t vcn = 0;
  std::uint64_t length = 0;
  std::uint64_t lcn = HOLE;
};

// One entry of an $ATTRIBUTE_LIST: where a piece of the file's attributes
// lies.
struct ListEntry {
  std::uint32_t type = 0;
  bool named = false;
  std::uint64_t lowest_vcn = 0;
  std::uint64_t segment = 0;  // reference of the record holding it
};
std::vector<ListEntry> parse_attribute_list(Bytes list);

// Appends the runs of a non-resident attribute segment, checked to lie on
// a volume of `total_clusters` and to cover exactly its VCN range.
void decode_runs(const Attribute& attribute, std::uint64_t total_clusters, std::vector<Run>& out);

// A buffer on a 4096-byte boundary, as unbuffered volume reads want it.
class AlignedBuffer {
 public:
  static constexpr std::size_t ALIGNMENT = 4096;
  explicit AlignedBuffer(std::size_t size)
      : data_(static_cast<std::byte*>(::operator new (size, std::align_val_t{ALIGNMENT}))),
        size_(size) {}
  std::span<std::byte> span() { return {data_.get(), size_}; }
  std::span<std::byte> first(std::size_t n) { return span().first(n); }

 private:
  struct Free {
    void operator()(std::byte* p) const { ::operator delete (p, std::align_val_t{ALIGNMENT}); }
  };
  std::unique_ptr<std::byte, Free> data_;
  std::size_t size_;
};

// --- Template definitions ----------------------------------------------------

Attribute parse_attribute(Bytes record, std::size_t at, std::size_t end, std::uint32_t& length);

template <class Each>
void for_each_attribute(Bytes record, const RecordHeader& header, Each&& each) {
  std::size_t at = header.first_attribute;
  for (;;) {
    if (load<std::uint32_t>(record.first(header.used), at) == END_OF_ATTRIBUTES) return;
    std::uint32_t length = 0;
    each(parse_attribute(record, at, header.used, length));
    at += length;
  }
}

}  // namespace oskra::ntfs::detail
