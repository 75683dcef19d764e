// The NTFS table reader on mutated volumes. The input is a sparse image:
// blocks of 4096 bytes, each after its 4-byte little-endian block number,
// laid over 64 MiB of zeros (make_ntfs_seed.py writes a real volume in this
// form). The reader must end, succeed or fail, without a fault; a table it
// returns must hold together: every entry's record and name within it,
// every folder reached once from the root.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ntfs/ntfs.h"

namespace {

constexpr std::size_t BLOCK = 4096;
constexpr std::size_t BLOCKS = (64u << 20) / BLOCK;

void check(bool ok) {
  if (!ok) std::abort();
}

void check_table(const oskra::ntfs::Table& table) {
  using oskra::ntfs::Table;
  std::vector<std::uint8_t> seen(table.record_count());
  std::vector<std::uint32_t> stack{Table::ROOT};
  std::u16string scratch;
  check(table.is_directory(Table::ROOT));
  while (!stack.empty()) {
    const std::uint32_t dir = stack.back();
    stack.pop_back();
    check(seen[dir] == 0);  // a folder reached twice would be walked twice
    seen[dir] = 1;
    for (const oskra::ntfs::Entry& e : table.children(dir)) {
      check(e.record < table.record_count() && e.name_size > 0 && e.name_size <= 255);
      check(table.name(e, scratch).size() == e.name_size);
      if (table.is_directory(e.record)) stack.push_back(e.record);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<const std::uint8_t*> blocks(BLOCKS);
  for (std::size_t at = 0; size - at >= 4 + BLOCK; at += 4 + BLOCK) {
    std::uint32_t index = 0;
    std::memcpy(&index, data + at, 4);
    if (index < BLOCKS) blocks[index] = data + at + 4;
  }
  const oskra::ntfs::ReadAt read = [&](std::uint64_t offset, std::span<std::byte> out) {
    // What the reader promises about its reads.
    check(offset % 512 == 0 && out.size() % 512 == 0 &&
          reinterpret_cast<std::uintptr_t>(out.data()) % 512 == 0);
    if (offset > BLOCKS * BLOCK || out.size() > BLOCKS * BLOCK - offset) return false;
    for (std::size_t done = 0; done < out.size();) {
      const std::uint64_t at = offset + done;
      const std::size_t n = std::min(out.size() - done, BLOCK - at % BLOCK);
      const std::uint8_t* block = blocks[at / BLOCK];
      if (block != nullptr) {
        std::memcpy(out.data() + done, block + at % BLOCK, n);
      } else {
        std::memset(out.data() + done, 0, n);
      }
      done += n;
    }
    return true;
  };
  const oskra::ntfs::ReadResult result = oskra::ntfs::read_table(read);
  check(result.table.has_value() == result.failure.empty());
  if (result.table) check_table(*result.table);
  return 0;
}
