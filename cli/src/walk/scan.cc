// The listing policy: how the walk's stream is produced for a real tree.
#include <algorithm>
#include <optional>
#include <thread>

#include "platform/platform.h"
#include "walk/listing.h"
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

WalkResult scan(platform::NativeStringView root, std::uint32_t depth, const RuleEngine& engine,
                const ProgressHook& progress) {
  if (const std::optional<std::uint64_t> size = platform::root_file_size(root)) {
    return walk_file(root, *size, engine);
  }
  const std::size_t descriptors = platform::descriptor_budget();
  unsigned workers =
      listing_workers(std::thread::hardware_concurrency(), platform::on_rotating_disk(root),
                      descriptors, platform::address_space_limit());
#ifdef OSKRA_LISTING_WORKERS_CAP  // benchmark builds only (tools/bench)
  workers = std::min(workers, unsigned{OSKRA_LISTING_WORKERS_CAP});
#endif
  OrderedListing<platform::DirectoryReader> listings(root, workers, descriptors);
  return walk(listings, depth, engine, progress);
}

}  // namespace oskra
