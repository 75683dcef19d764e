// Reads the master file table of an NTFS volume from the volume's bytes and
// gives each folder's entries in the order its index keeps them, with what
// a directory listing would say of each (attributes, reparse tag, size).
// Nothing here includes a system header: the caller hands over a function
// that reads bytes at an offset of the volume (a raw volume on Windows, an
// image file in tests).
//
// The read either understands the whole table or fails: a record that does
// not check out (signature, update-sequence fixups, a field out of its
// bounds, a reference to a record that is not there, folders that do not
// lead to the root) fails it, and no answer is guessed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ntfs/blocks.h"

namespace oskra::ntfs {

// Reads exactly `out.size()` bytes at byte `offset` of the volume into
// `out`; false on any failure, a short read included. The offset, the size
// and the address of `out` are multiples of the volume's sector size (and
// of 512), so a raw volume opened for unbuffered reads takes them as they
// are. Called from one thread at a time.
using ReadAt = std::function<bool(std::uint64_t offset, std::span<std::byte> out)>;

// The file attribute bits the reader itself sets or reads (the Win32
// FILE_ATTRIBUTE_* values).
inline constexpr std::uint32_t ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr std::uint32_t ATTRIBUTE_REPARSE_POINT = 0x400;

// What the table says of one file or folder, as a listing of its folder
// would report it.
struct Facts {
  std::uint64_t size = 0;         // the unnamed data stream's length (0 without one)
  std::uint64_t allocated = 0;    // the bytes of that stream the disk holds
  std::uint32_t attributes = 0;   // FILE_ATTRIBUTE_* bits, the directory bit included
  std::uint32_t reparse_tag = 0;  // 0 without a reparse point
};

// One name of a file in a folder: a directory entry. A file with several
// hard links has one entry per link; a short (DOS) name is no entry.
struct Entry {
  std::uint32_t record = 0;       // the file's record in the table
  std::uint32_t name_offset = 0;  // in bytes, in the table's names
  std::uint16_t name_size = 0;    // UTF-16 code units
  bool narrow = false;            // kept a byte a unit: every unit is below 0x100
};

// Names kept in blocks that never move, so gathering a million of them
// never copies one; an offset names a place in them. Most names need only
// the low byte of each unit and are kept so, in half the memory.
class NameStore {
 public:
  static constexpr std::uint32_t BLOCK_BYTES = BlockSource::BLOCK;

  explicit NameStore(BlockSource source = {}) : source_(source) {}

  // Copies `size` UTF-16 units (at most 255) from `units`, which need not
  // be aligned, and says where they are now and whether a byte a unit;
  // false when the offsets run out.
  bool add(const void* units, std::size_t size, std::uint32_t& offset, bool& narrow);
  // Takes over the blocks of `other` (whose names then lie `shift` bytes
  // further on here); false when the offsets run out.
  bool take_all(NameStore&& other, std::uint32_t& shift);
  // Where the name at `offset` begins (a name never spans blocks; a name
  // of two bytes a unit begins at an even offset).
  const unsigned char* at(std::uint32_t offset) const {
    return blocks_[offset / BLOCK_BYTES].get() + offset % BLOCK_BYTES;
  }
  std::size_t memory() const { return blocks_.size() * std::size_t{BLOCK_BYTES}; }

 private:
  struct Release {
    BlockAllocator<unsigned char> from;
    void operator()(unsigned char* block) const { from.deallocate(block, BLOCK_BYTES); }
  };

  BlockAllocator<unsigned char> source_;
  std::vector<std::unique_ptr<unsigned char[], Release>> blocks_;
  std::uint32_t used_ = 0;  // bytes used in the last block
};

// The folders of a volume and their entries, read once.
class Table {
 public:
  explicit Table(BlockSource blocks = {})
      : facts_(blocks), first_child_(blocks), entries_(blocks), names_(blocks) {}

  // The record of the volume's root folder.
  static constexpr std::uint32_t ROOT = 5;

  std::uint32_t record_count() const { return static_cast<std::uint32_t>(facts_.size()); }
  bool is_directory(std::uint32_t record) const {
    return record < facts_.size() && (facts_[record].attributes & ATTRIBUTE_DIRECTORY) != 0;
  }
  const Facts& facts(std::uint32_t record) const { return facts_[record]; }
  // The entries of folder `directory` in the order of its index (names
  // compared through the volume's upper-case table); empty for a file.
  std::span<const Entry> children(std::uint32_t directory) const;
  // The entry's name: where it is kept, or widened into `scratch`.
  std::u16string_view name(const Entry& entry, std::u16string& scratch) const;
  // The bytes the table holds, and of them the names'.
  std::size_t memory() const;
  std::size_t name_memory() const { return names_.memory(); }

 private:
  friend class TableBuilder;
  BlockVector<Facts> facts_;
  BlockVector<std::uint32_t> first_child_;  // per record, and one past the last
  BlockVector<Entry> entries_;              // grouped by folder, each group in order
  NameStore names_;
};

// How far a read has come, for a status line on another thread, or on the
// reading one through `changed`.
struct Progress {
  std::atomic<std::uint64_t> records_read{0};
  std::atomic<std::uint64_t> records_total{0};
  // When set, called on the thread that called read_table after each piece
  // of the table that thread parses, and once when all are read (never per
  // record).
  std::function<void(const Progress&)> changed;
};

struct ReadResult {
  std::optional<Table> table;  // empty when the read failed
  std::string failure;         // why, in a few words, for a developer
};

// Reads the table of the volume `read` reads, its large arrays from
// `blocks` (the heap without). Memory runs out as it does everywhere in the
// program (std::bad_alloc); every other failure is in the result.
ReadResult read_table(const ReadAt& read, Progress* progress = nullptr, BlockSource blocks = {});

}  // namespace oskra::ntfs
