// The listings of a tree read from a volume's master file table
// (ntfs::Table) instead of from the folders themselves: the same stream the
// walk takes from the directory reader, in the same order, each record
// decided by the same functions a folder listing's records are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ntfs/ntfs.h"
#include "platform/records.h"
#include "walk/listing.h"

namespace oskra {

// `name` (UTF-16, as the table keeps it) as the native text a listing
// gives: the same units on Windows, UTF-8 elsewhere.
void native_name(std::u16string_view name, platform::NativeString& out);

// The folder at `relative` below the volume's root: names separated by
// platform::SEPARATOR (separators at either end and doubled ones ignored),
// each compared exactly, as a canonical path spells it. Every folder on the
// way must be one the walk enters; nothing when one is not, or is missing.
std::optional<std::uint32_t> find_folder(const ntfs::Table& table,
                                         platform::NativeStringView relative);

// The self-check before a table's listings are trusted: nothing when the
// first listing and the `folders` after it are the same in both streams
// (names, depths, every record's name and kind, and the size of every
// record counted by size), and every one of them was read whole; else the
// first difference in words (the folder, the entry, what differs, both
// values), the one stream ending before the other included.
//
// Where only a file's counted size differs and `own_size`, asked for the
// file (its folder's native path, its name), gives the table's value, the
// listing held a size NTFS left stale in the folder's index: no difference.
using OwnSize = std::function<std::optional<std::uint64_t>(platform::NativeStringView folder,
                                                           platform::NativeStringView name)>;
std::optional<std::string> first_difference(ListingStream& table, ListingStream& listed,
                                            std::size_t folders, const OwnSize& own_size = {});
inline bool listings_agree(ListingStream& table, ListingStream& listed, std::size_t folders) {
  return !first_difference(table, listed, folders);
}

// A folder the self-check lists by its path, as a lone listing, beside the
// table's.
struct CheckedFolder {
  std::uint32_t record = 0;
  platform::NativeString path;  // its exact native path
};

// Up to `count` folders of the subtree of `start` (named `root_path`), from
// among those the walk lists after its first `skip` + 1, each as likely as
// any other and the same ones every run, in walk order: so that a table
// misread anywhere in a large tree is as likely seen as one near its start,
// at the cost of `count` listings.
std::vector<CheckedFolder> spread_folders(const ntfs::Table& table, std::uint32_t start,
                                          platform::NativeStringView root_path, std::size_t skip,
                                          std::size_t count);

// The self-check before a table's listings are trusted: the scanned folder
// and the `first` folders after it in walk order, then `spread` more from
// anywhere in its tree (spread_folders), each compared with the folder
// listed as usual (by the stream `listed` makes for its path, whose first
// listing is that folder's); the first difference (first_difference), or
// nothing when they agree.
using ListedFrom = std::function<std::unique_ptr<ListingStream>(platform::NativeStringView path)>;
std::optional<std::string> self_check(const ntfs::Table& table, std::uint32_t start,
                                      platform::NativeStringView root_path, std::size_t first,
                                      std::size_t spread, const ListedFrom& listed,
                                      const OwnSize& own_size = {});

// The listings of the subtree of folder `start` in `table`, the first named
// `root_path`. Every listing is complete (ListStatus::ok): the table either
// was read whole or not at all. `table` must outlive the stream.
class TableListing final : public ListingStream {
 public:
  TableListing(const ntfs::Table& table, std::uint32_t start, platform::NativeStringView root_path)
      : table_(table), start_(start), root_path_(root_path) {}

  bool next(Listing& out) override;

 private:
  struct Frame {
    std::uint32_t folder;
    std::size_t next = 0;  // its next entry to look at
  };

  void list(std::uint32_t folder, Listing& out);

  const ntfs::Table& table_;
  const std::uint32_t start_;
  const platform::NativeString root_path_;
  bool started_ = false;
  std::vector<Frame> stack_;     // the folders listed whose subfolders are not all yet
  platform::NativeString name_;  // the name of the listing last yielded
  std::u16string scratch_;       // a name the table keeps a byte a unit, widened
};

}  // namespace oskra
