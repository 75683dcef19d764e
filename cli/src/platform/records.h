// What a listing of one directory holds, whoever produces it: the directory
// reader here, or any other source of the same records. Each record is a
// name, a size and what the walk does with it (`EntryKind`), decided by the
// producer from what its system reports.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace oskra::platform {

#ifdef _WIN32
using NativeChar = wchar_t;
#else
using NativeChar = char;
#endif
using NativeString = std::basic_string<NativeChar>;
using NativeStringView = std::basic_string_view<NativeChar>;

// What the walk does with a listed entry, decided by each realisation from
// what its operating system reports.
enum class EntryKind : std::uint8_t {
  directory,  // entered and totalled
  file,       // counted with its size
  link,       // a link, junction or mount point: counted as a file of its
              // listed size, never entered
  skip,       // not counted at all (a reparse folder that is no link, such
              // as a cloud placeholder whose contents are not on the disk)
};

// One record of a listing. The name lives in the owning `RecordList`.
struct DirRecord {
  std::size_t name_offset = 0;
  std::uint64_t size = 0;       // logical size in bytes
  std::uint32_t name_size = 0;  // no file system names an entry with 4 GiB
  EntryKind kind = EntryKind::file;
};

// The records of one listing, their names in one buffer, so a listing costs
// a few allocations rather than one per entry. A finished listing moves from
// its producer to the walk; it is never copied.
class RecordList {
 public:
  void add(NativeStringView name, EntryKind kind, std::uint64_t size) {
    records_.push_back(
        DirRecord{names_.size(), size, static_cast<std::uint32_t>(name.size()), kind});
    names_.append(name);
  }
  // Room for `records` more records with `name_units` more name units: a
  // listing read in one piece is allocated once and at its exact size.
  void reserve_more(std::size_t records, std::size_t name_units) {
    grow(records_, records);
    grow(names_, name_units);
  }
  std::size_t size() const { return records_.size(); }
  const DirRecord& operator[](std::size_t i) const { return records_[i]; }
  NativeStringView name(const DirRecord& r) const {
    return NativeStringView(names_).substr(r.name_offset, r.name_size);
  }
  // The bytes it holds, for bounding how much is listed ahead.
  std::size_t footprint() const {
    return records_.capacity() * sizeof(DirRecord) + names_.capacity() * sizeof(NativeChar);
  }

 private:
  // Exact on the first call; at least doubling after, so a listing read in
  // many pieces is not copied once per piece.
  template <class Buffer>
  static void grow(Buffer& buffer, std::size_t more) {
    const std::size_t wanted = buffer.size() + more;
    if (wanted <= buffer.capacity()) return;
    buffer.reserve(buffer.empty() ? wanted : std::max(wanted, 2 * buffer.capacity()));
  }

  std::vector<DirRecord> records_;
  NativeString names_;
};

enum class ListStatus {
  ok,           // every record was delivered ("nothing matches" included)
  open_failed,  // the listing could not be opened; nothing was delivered
  cut_short,    // a later record failed; the records before it stand
};

}  // namespace oskra::platform
