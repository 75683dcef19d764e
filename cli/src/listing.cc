#include "listing.h"

namespace oskra {

unsigned listing_workers(unsigned hardware_threads, bool rotating, std::size_t descriptors) {
  if (rotating) return 0;
  // Four per core: on a cold cache most of them wait on storage at any one
  // time. Not fewer than four even where the core count is unknown (0), nor
  // more than 32.
  unsigned workers = hardware_threads * 4;
  if (workers < 4) workers = 4;
  if (workers > 32) workers = 32;
  // Each lister needs two handles at once, and some are kept for children.
  const std::size_t affordable = descriptors / 4;
  return affordable < workers ? static_cast<unsigned>(affordable) : workers;
}

}  // namespace oskra
