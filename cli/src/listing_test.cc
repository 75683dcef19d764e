// Listing ahead of the walk on several threads must change nothing the walk
// reports: each tree is walked with no workers and with several (and tight
// limits, so workers wait, the walk lists some directories itself, and
// children open from ancestors further up), and the two reports must be the
// same document.
#include "listing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "json_report.h"
#include "scanner.h"

namespace oskra {
namespace {

using platform::EntryKind;
using platform::ListStatus;
using platform::NativeString;
using platform::NativeStringView;
using platform::OpenStatus;

std::string document(const WalkResult& walked) {
  Report report;
  report.path = walked.root.path();
  report.total_bytes = walked.root.bytes;
  report.files = walked.root.files;
  report.dirs = walked.root.dirs;
  report.denied = walked.denied;
  report.tree = walked.root;
  report.greens = walked.greens;
  std::string text;
  {
    Writer out([&text](std::string_view piece) {
      text.append(piece);
      return true;
    });
    write_json_report(report, out);
    EXPECT_TRUE(out.flush());
  }
  return text;
}

// A tree in memory, read the way the real file system is: a directory is
// reached from an open ancestor one component at a time.
struct FakeDir {
  std::vector<std::pair<NativeString, EntryKind>> entries;  // in listing order
  std::vector<std::uint64_t> sizes;
  std::map<NativeString, FakeDir> subdirs;
  bool unopenable = false;
  bool cut_short = false;  // the listing breaks off halfway
};

class FakeReader {
 public:
  struct Handle {
    const FakeDir* dir = nullptr;
  };

  static FakeDir* tree;  // set by each test before any reader reads

  OpenStatus open_root(NativeStringView, Handle& out) {
    out.dir = tree;
    return OpenStatus::ok;
  }
  OpenStatus open(const Handle& base, NativeStringView rel, Handle& out) {
    pause();
    const FakeDir* at = base.dir;
    while (true) {
      const std::size_t sep = rel.find(platform::SEPARATOR);
      const auto found = at->subdirs.find(NativeString(rel.substr(0, sep)));
      if (found == at->subdirs.end() || found->second.unopenable) return OpenStatus::failed;
      at = &found->second;
      if (sep == NativeStringView::npos) break;
      rel.remove_prefix(sep + 1);
    }
    out.dir = at;
    return OpenStatus::ok;
  }
  ListStatus read(const Handle& dir, platform::RecordList& out) {
    pause();
    const std::size_t n =
        dir.dir->cut_short ? dir.dir->entries.size() / 2 : dir.dir->entries.size();
    for (std::size_t i = 0; i < n; ++i) {
      out.add(dir.dir->entries[i].first, dir.dir->entries[i].second, dir.dir->sizes[i]);
    }
    return dir.dir->cut_short ? ListStatus::cut_short : ListStatus::ok;
  }

 private:
  // Uneven timing, so the workers finish in many different orders.
  void pause() {
    if (rng_() % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(rng_() % 50));
  }
  std::minstd_rand rng_{std::random_device{}()};
};
FakeDir* FakeReader::tree = nullptr;

// "prefix" followed by a number (built so that g++ 12 at -O3 sees no false
// overlap in the concatenation).
std::string numbered(const char* prefix, std::uint64_t n) {
  std::string text(prefix);
  text += std::to_string(n);
  return text;
}

void add_file(FakeDir& d, const std::string& name, std::uint64_t size,
              EntryKind kind = EntryKind::file) {
  d.entries.emplace_back(platform::from_utf8(name), kind);
  d.sizes.push_back(size);
}
FakeDir& add_dir(FakeDir& d, const std::string& name) {
  const NativeString native = platform::from_utf8(name);
  d.entries.emplace_back(native, EntryKind::directory);
  d.sizes.push_back(4096);
  return d.subdirs[native];
}

// Every shape that parallel listing could get wrong, in one tree.
FakeDir hostile_tree() {
  FakeDir root;
  FakeDir& wide = add_dir(root, "wide");
  for (int i = 0; i < 2000; ++i) add_file(wide, numbered("f", i), i);
  for (int i = 0; i < 200; ++i) add_file(add_dir(wide, numbered("d", i)), "x", 3);
  FakeDir* deep = &add_dir(root, "deep");
  for (int i = 0; i < 1500; ++i) deep = &add_dir(*deep, "d");
  add_file(*deep, "bottom", 77);
  // Many tiny folders, three to a level.
  std::vector<FakeDir*> level{&add_dir(root, "bushy")};
  for (int depth = 0; depth < 6; ++depth) {
    std::vector<FakeDir*> next;
    for (FakeDir* d : level) {
      for (int k = 0; k < 3; ++k) {
        FakeDir& c = add_dir(*d, std::to_string(k));
        add_file(c, "f", static_cast<std::uint64_t>(depth * 3 + k));
        next.push_back(&c);
      }
    }
    level = std::move(next);
  }
  add_dir(root, "locked").unopenable = true;
  FakeDir& broken = add_dir(root, "broken");
  for (int i = 0; i < 10; ++i) add_file(add_dir(broken, numbered("b", i)), "y", 1);
  broken.cut_short = true;
  add_file(root, "link", 5, EntryKind::link);
  add_file(root, "placeholder", 9, EntryKind::skip);
  FakeDir& temp = add_dir(root, "Temp");
  add_file(add_dir(temp, "cache"), "c", 10);
  add_file(temp, "t", 10);
  // Green folders of equal size, more than the list keeps: ties at the cut.
  FakeDir& many = add_dir(root, "many");
  for (int i = 0; i < 1500; ++i) add_file(add_dir(many, numbered("cache", i)), "z", 100);
  return root;
}

TEST(PrefetchingSource, ReportsWhatOneThreadReports) {
  FakeDir tree = hostile_tree();
  FakeReader::tree = &tree;
  const RuleEngine engine;
  const NativeString root = platform::from_utf8(
#ifdef _WIN32
      "\\\\?\\C:\\r"
#else
      "/r"
#endif
  );
  std::string alone;
  {
    PrefetchingSource<FakeReader> source(0, 64);
    alone = document(walk(source, root, 3, engine));
  }
  EXPECT_NE(alone.find("\"denied\": 1,"), std::string::npos);
  // Generous and tight limits; few descriptors, so most children open from
  // an ancestor further up.
  for (const auto limits :
       {PrefetchingSource<FakeReader>::Limits{}, PrefetchingSource<FakeReader>::Limits{3, 4096}}) {
    for (const std::size_t descriptors : {std::size_t{64}, std::size_t{12}}) {
      PrefetchingSource<FakeReader> source(4, descriptors, limits);
      EXPECT_EQ(document(walk(source, root, 3, engine)), alone)
          << limits.listings << " listings, " << descriptors << " descriptors";
    }
  }
}

TEST(PrefetchingSource, RealTreeReportsWhatOneThreadReports) {
  namespace fs = std::filesystem;
  const fs::path base =
      fs::temp_directory_path() / (numbered("oskra_listing_test_", std::random_device{}()));
  fs::create_directories(base / "a" / "b");
  for (int i = 0; i < 300; ++i) {
    const fs::path d = base / (numbered("d", i % 30)) / (numbered("e", i));
    fs::create_directories(d);
    std::ofstream(d / "f", std::ios::binary) << std::string(static_cast<std::size_t>(i), 'x');
  }
  std::ofstream(base / "a" / "b" / "g", std::ios::binary) << "12345";
  const NativeString root = platform::canonicalize(base.string()).value_or(NativeString());
  ASSERT_FALSE(root.empty());
  const RuleEngine engine;
  std::string alone;
  {
    PrefetchingSource<platform::DirectoryReader> source(0, 64);
    alone = document(walk(source, root, 2, engine));
  }
  PrefetchingSource<platform::DirectoryReader> source(8, 64, {4, 1 << 16});
  const std::string parallel = document(walk(source, root, 2, engine));
  std::error_code ec;
  fs::remove_all(base, ec);
  EXPECT_NE(alone.find("\"dirs\": 333,"), std::string::npos);
  EXPECT_EQ(parallel, alone);
}

#ifndef _WIN32
TEST(PrefetchingSource, AFolderSwappedForALinkIsNotFollowed) {
  namespace fs = std::filesystem;
  const fs::path base =
      fs::temp_directory_path() / (numbered("oskra_swap_test_", std::random_device{}()));
  fs::create_directories(base / "tree" / "sub");
  fs::create_directories(base / "outside" / "secret");
  const NativeString root = (base / "tree").string();
  PrefetchingSource<platform::DirectoryReader> source(0, 64);
  platform::RecordList records;
  ASSERT_EQ(source.list(root, records), ListStatus::ok);
  ASSERT_EQ(records.size(), 1u);
  // Between the parent's listing and its own, "sub" becomes a link out of
  // the tree.
  fs::rename(base / "tree" / "sub", base / "moved");
  fs::create_directory_symlink(base / "outside", base / "tree" / "sub");
  platform::RecordList sub;
  EXPECT_EQ(source.list(root + "/sub", sub), ListStatus::open_failed);
  EXPECT_EQ(sub.size(), 0u);
  std::error_code ec;
  fs::remove_all(base, ec);
}
#endif

TEST(ListingWorkers, FromCoresDiskAndDescriptors) {
  struct Case {
    unsigned cores;
    bool rotating;
    std::size_t descriptors;
    unsigned workers;
  } cases[] = {
      {2, false, 1016, 8}, {8, false, 1016, 32}, {16, false, 1016, 32},
      {0, false, 1016, 4},  // unknown core count
      {2, true, 1016, 0},   // a rotating disk: one listing at a time
      {8, false, 8, 2},    {2, false, 24, 6},    {2, false, 2, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(listing_workers(c.cores, c.rotating, c.descriptors), c.workers)
        << c.cores << " cores, rotating " << c.rotating << ", " << c.descriptors;
  }
}

}  // namespace
}  // namespace oskra
