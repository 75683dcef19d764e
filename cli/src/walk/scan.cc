// The listing policy: how the walk's stream is produced for a real tree.
#include <algorithm>
#include <optional>
#include <thread>

#include "platform/platform.h"
#include "walk/listing.h"
#include "walk/walk.h"

namespace oskra {

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
