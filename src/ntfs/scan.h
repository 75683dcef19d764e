// The one pass over the master file table, in pieces shared by two
// threads: what each record in use says, gathered per record, before
// anything is checked across records or put in order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ntfs/ntfs.h"
#include "ntfs/volume.h"

namespace oskra::ntfs::detail {

// What is known of a record after the pass.
enum RecordState : std::uint8_t {
  BASE_IN_USE = 0x01,
  DIRECTORY = 0x02,
  HAS_INFORMATION = 0x04,  // $STANDARD_INFORMATION seen
  HAS_DATA = 0x08,         // the unnamed $DATA stream's first segment seen
  HAS_REPARSE = 0x10,
  HAS_LIST = 0x20,
  HAS_DATA_TAIL = 0x40,  // a later segment of it seen, whose sizes mean nothing
  DATA_GOES_ON = 0x80,   // its first segment's runs end before its allocation
};

// One $FILE_NAME that names an entry: record `record` in folder `parent`.
struct Link {
  std::uint32_t record = 0;
  std::uint32_t parent = 0;
  std::uint32_t name_offset = 0;
  std::uint16_t parent_sequence = 0;
  std::uint8_t name_size = 0;
  bool narrow = false;
};

// An extension record and the base record it belongs to, as the extension
// record says or as the base's attribute list says.
struct Extension {
  std::uint32_t record = 0;
  std::uint16_t sequence = 0;
  std::uint32_t base = 0;
  auto operator<=>(const Extension&) const = default;
};

// What one parsing thread gathers beside the per-record arrays.
struct Part {
  explicit Part(BlockSource blocks) : links(blocks), names(blocks) {}

  BlockVector<Link> links;
  NameStore names;
  std::vector<Extension> extensions;         // as the extension records say
  std::vector<std::uint16_t> base_sequence;  // beside `extensions`: the base they name
  std::vector<Extension> listed;             // as the attribute lists say
  Stream upcase;
};

struct Gathered {
  explicit Gathered(BlockSource blocks)
      : facts(blocks), sequence(blocks), state(blocks), names(blocks) {}

  BlockVector<Facts> facts;  // indexed by record; attributes as $STANDARD_INFORMATION holds them
  BlockVector<std::uint16_t> sequence;
  BlockVector<std::uint8_t> state;
  std::vector<BlockVector<Link>> links;  // a list per parsing thread, names offsets in `names`
  NameStore names;
  std::vector<Extension> extensions;
  std::vector<std::uint16_t> base_sequence;
  std::vector<Extension> listed;
  Stream upcase;
};

Gathered scan_table(const Volume& volume, const MftLayout& layout, Progress* progress,
                    BlockSource blocks);

}  // namespace oskra::ntfs::detail
