// ntfs_dump IMAGE: what the reader makes of an NTFS image file, one line
// per entry below the root in depth-first order, each folder's entries in
// the reader's order:
//
//   /path/of/entry <TAB> attributes <TAB> reparse tag <TAB> size <TAB> allocated
//
// (attributes and tag in hexadecimal). ntfs_oracle prints the same from
// libntfs-3g, so the two can be compared line by line.
//
// ntfs_dump --stats IMAGE reads the table and prints how long that took
// and how much it holds, for the benchmark.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ntfs/ntfs.h"
#include "text/utf16.h"

namespace {

using oskra::ntfs::Table;

// Large arrays in large pages where the system gives them, as the program
// takes them.
void* take_block(std::size_t bytes) {
  void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;
  ::madvise(block, bytes, MADV_HUGEPAGE);
  return block;
}
void give_back_block(void* block, std::size_t bytes) { ::munmap(block, bytes); }

void print_tree(const Table& table) {
  struct Level {
    std::uint32_t dir;
    std::size_t next;
    std::size_t path_size;
  };
  std::string path;
  std::string line;
  std::u16string scratch;
  std::vector<Level> stack{{Table::ROOT, 0, 0}};
  while (!stack.empty()) {
    Level& level = stack.back();
    const auto children = table.children(level.dir);
    if (level.next == children.size()) {
      stack.pop_back();
      continue;
    }
    const oskra::ntfs::Entry& e = children[level.next++];
    path.resize(level.path_size);
    path.push_back('/');
    oskra::unicode::append_utf16_as_utf8(table.name(e, scratch), path);
    const oskra::ntfs::Facts& f = table.facts(e.record);
    char fields[96];
    std::snprintf(fields, sizeof fields,
                  "\t%08" PRIx32 "\t%08" PRIx32 "\t%" PRIu64 "\t%" PRIu64 "\n", f.attributes,
                  f.reparse_tag, f.size, f.allocated);
    line.assign(path).append(fields);
    std::fwrite(line.data(), 1, line.size(), stdout);
    if (table.is_directory(e.record)) stack.push_back({e.record, 0, path.size()});
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool stats = argc == 3 && std::strcmp(argv[1], "--stats") == 0;
  // A write in progress on a live volume, played: the first COUNT reads
  // that cover byte OFFSET see it changed, as a torn record would be.
  const bool torn = argc == 5 && std::strcmp(argv[1], "--torn") == 0;
  if (argc != 2 && !stats && !torn) {
    std::fprintf(stderr, "usage: ntfs_dump [--stats | --torn OFFSET COUNT] IMAGE\n");
    return 2;
  }
  const std::uint64_t torn_at = torn ? std::strtoull(argv[2], nullptr, 10) : 0;
  auto torn_left = std::make_shared<std::atomic<int>>(torn ? std::atoi(argv[3]) : 0);
  const int fd = ::open(argv[argc - 1], O_RDONLY);
  if (fd < 0) {
    std::perror(argv[argc - 1]);
    return 2;
  }
  const oskra::ntfs::ReadAt read = [fd, torn_at, torn_left](std::uint64_t offset,
                                                            std::span<std::byte> out) {
    for (std::size_t done = 0; done < out.size();) {
      const ssize_t n =
          ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    if (torn_at >= offset && torn_at < offset + out.size() && torn_left->fetch_sub(1) > 0) {
      out[torn_at - offset] ^= std::byte{0xFF};
    }
    return true;
  };
  const auto start = std::chrono::steady_clock::now();
  const oskra::ntfs::ReadResult result =
      oskra::ntfs::read_table(read, nullptr, {take_block, give_back_block});
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  ::close(fd);
  if (!result.table) {
    std::fprintf(stderr, "unreadable: %s\n", result.failure.c_str());
    return 1;
  }
  if (stats) {
    const Table& t = *result.table;
    std::printf("records %" PRIu32 "\nseconds %.6f\nmemory %zu\nnames %zu\n", t.record_count(),
                took.count(), t.memory(), t.name_memory());
    return 0;
  }
  print_tree(*result.table);
  return 0;
}
