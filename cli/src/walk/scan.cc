// The listing policy: how the walk's stream is produced for a real tree.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "ntfs/ntfs.h"
#include "platform/platform.h"
#include "walk/listing.h"
#include "walk/table_listing.h"
#include "walk/walk.h"

namespace oskra {

unsigned listing_workers(unsigned hardware_threads, bool rotating, std::size_t descriptors,
                         std::uint64_t address_space) {
  constexpr std::uint64_t ROOM_FOR_WORKERS = 256u << 20;
  if (rotating || address_space < ROOM_FOR_WORKERS) return 0;
  // Four per core: on a cold cache most of them wait on storage at any one
  // time. Not fewer than four even where the core count is unknown (0), nor
  // more than 32.
  unsigned workers = hardware_threads * 4;
  if (workers < 4) workers = 4;
  if (workers > 32) workers = 32;
  // Each lister needs two handles at once, the walk's own too, and as many
  // again are worth keeping for children; so does a worker. With fewer than
  // that, one listing at a time.
  const std::size_t affordable = descriptors > 4 ? (descriptors - 4) / 4 : 0;
  return affordable < workers ? static_cast<unsigned>(affordable) : workers;
}

namespace {

// The self-check lists both ways the scanned folder, the first folders
// after it in walk order, and more chosen anywhere in its tree.
constexpr std::size_t SELF_CHECK_FIRST = 16;
constexpr std::size_t SELF_CHECK_SPREAD = 48;

// A folder below a volume's root with fewer folders than this is listed,
// not read from the table: reading the table costs the same whatever the
// folder (about a second per million records), listing a folder well under
// a millisecond warm, so a small folder lists first and a larger one costs
// at most these listings more.
constexpr std::size_t SMALL_TREE_FOLDERS = 1000;

// The walk of the tree at `root` as the folders list, on as many threads as
// the disk, the machine and the process allow; nothing once it comes to a
// listing past the first `most`.
std::optional<WalkResult> walk_listed(platform::NativeStringView root, std::uint32_t depth,
                                      const RuleEngine& engine, const ProgressHook& progress,
                                      std::size_t most = SIZE_MAX) {
  struct TooMany {};
  struct Bounded final : ListingStream {
    Bounded(ListingStream& from, std::size_t most) : from_(from), left_(most) {}
    bool next(Listing& out) override {
      if (left_ == 0) {
        if (from_.next(out)) throw TooMany{};  // the walk stops mid-tree
        return false;
      }
      --left_;
      return from_.next(out);
    }
    ListingStream& from_;
    std::size_t left_;
  };
  const std::size_t descriptors = platform::descriptor_budget();
  unsigned workers =
      listing_workers(std::thread::hardware_concurrency(), platform::on_rotating_disk(root),
                      descriptors, platform::address_space_limit());
#ifdef OSKRA_LISTING_WORKERS_CAP  // benchmark builds only (tools/bench)
  workers = std::min(workers, unsigned{OSKRA_LISTING_WORKERS_CAP});
#endif
  OrderedListing<platform::DirectoryReader> listings(root, workers, descriptors);
  Bounded bounded(listings, most);
  try {
    return walk(bounded, depth, engine, progress);
  } catch (const TooMany&) {
    return std::nullopt;
  }
}

// The table of `volume`, and the folder `root` is in it, when its table is
// understood.
bool read_volume_table(const platform::VolumeBytes& volume, const TableProgressHook& told,
                       std::optional<ntfs::Table>& table, std::uint32_t& start,
                       std::string& why_not) {
  ntfs::Progress progress;
  if (told) {
    progress.changed = [&told](const ntfs::Progress& p) {
      told(p.records_read.load(std::memory_order_relaxed),
           p.records_total.load(std::memory_order_relaxed));
    };
  }
  ntfs::ReadResult read =
      ntfs::read_table(volume.read, &progress, {platform::map_block, platform::release_block});
  if (!read.table) {
    why_not = "未用: 读取失败: " + read.failure;
    return false;
  }
  const std::optional<std::uint32_t> folder = find_folder(*read.table, volume.folder);
  if (!folder) {
    why_not = "未用: 文件表里找不到所扫描的文件夹";
    return false;
  }
  table = std::move(read.table);
  start = *folder;
  return true;
}

// The walk over the volume's table, when it can be read and the scanned
// folder and the first folders below it, listed as usual, say the same;
// nothing otherwise, and the folders are listed instead. The table goes
// before the result is returned.
std::optional<WalkResult> walk_table(const platform::VolumeBytes& volume,
                                     platform::NativeStringView root, std::uint32_t depth,
                                     const RuleEngine& engine, const ProgressHook& progress,
                                     const TableProgressHook& table_progress,
                                     std::string& why_not) {
  std::optional<ntfs::Table> table;
  std::uint32_t start = 0;
  if (!read_volume_table(volume, table_progress, table, start, why_not)) return std::nullopt;
  const std::size_t descriptors = platform::descriptor_budget();
  const auto listed = [descriptors](platform::NativeStringView path) {
    return std::make_unique<OrderedListing<platform::DirectoryReader>>(path, 0, descriptors);
  };
  // Where a listing's size is stale, the file itself tells.
  const auto own_size = [](platform::NativeStringView folder, platform::NativeStringView name) {
    return platform::own_file_size(platform::NativeString(folder) + platform::SEPARATOR +
                                   platform::NativeString(name));
  };
  if (std::optional<std::string> differs =
          self_check(*table, start, root, SELF_CHECK_FIRST, SELF_CHECK_SPREAD, listed, own_size)) {
    why_not = "未用: 自检不一致: " + *differs;
    return std::nullopt;
  }
  TableListing listings(*table, start, root);
  try {
    return walk(listings, depth, engine, progress);
  } catch (const StreamOutOfOrder& broken) {
    // The table's stream is ours to trust only while it keeps its order;
    // the folders are listed instead.
    why_not = std::string("未用: 列表次序错乱: ") + broken.what();
    return std::nullopt;
  }
}

}  // namespace

WalkResult scan(platform::NativeStringView root, std::uint32_t depth, const RuleEngine& engine,
                const ProgressHook& progress, const TableProgressHook& table_progress,
                ScanSource* source) {
  ScanSource ignored;
  ScanSource& said = source != nullptr ? *source : ignored;
  if (const std::optional<std::uint64_t> size = platform::root_file_size(root)) {
    said.kind = ScanSource::Kind::file;
    return walk_file(root, *size, engine);
  }
  said.kind = ScanSource::Kind::listing;
  std::string& why_not = said.table_not_used;
  if (const std::optional<platform::VolumeBytes> volume = platform::open_volume(root, why_not)) {
    if (!volume->folder.empty()) {
      if (std::optional<WalkResult> small =
              walk_listed(root, depth, engine, progress, SMALL_TREE_FOLDERS)) {
        why_not = "未读: 文件夹不到 " + std::to_string(SMALL_TREE_FOLDERS) + " 个, 逐个列出更快";
        return std::move(*small);
      }
    }
    if (std::optional<WalkResult> walked =
            walk_table(*volume, root, depth, engine, progress, table_progress, why_not)) {
      said.kind = ScanSource::Kind::table;
      why_not.clear();
      return std::move(*walked);
    }
  } else {
    why_not = "未读: " + why_not;
  }
  return std::move(*walk_listed(root, depth, engine, progress));
}

}  // namespace oskra
