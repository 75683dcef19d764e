// Listing ahead of the walk on several threads must change nothing the walk
// reports: each tree is walked with no workers and with several (and tight
// limits, so workers wait, the walk lists some directories itself, and
// handles are given up and had again), and the two reports must be the same
// result; on the way, never more handles open than allowed, and no more
// opens than folders, or about.
#include "walk/listing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "support/fake_tree.h"
#include "walk/table_listing.h"
#include "walk/walk.h"

namespace oskra {
namespace {

using fake::FakeDir;
using platform::EntryKind;
using platform::ListStatus;
using platform::NativeString;

// Two walks of one tree report the same: totals, tree, greens, denials.
bool same(const WalkResult& a, const WalkResult& b) {
  return a.denied == b.denied && a.root() == b.root() && a.greens == b.greens;
}

using fake::fake_listing;
using fake::FakeTree;
using fake::numbered;
using fake::shown;
using Limits = fake::FakeListing::Limits;

// Every shape that parallel listing could get wrong, in one tree.
void hostile_tree(FakeTree& t) {
  t.subdir("", "wide");
  for (int i = 0; i < 2000; ++i) t.file("wide", numbered("f", i), i);
  for (int i = 0; i < 200; ++i) {
    t.subdir("wide", numbered("d", i));
    t.file("wide/" + numbered("d", i), "x", 3);
  }
  std::string deep = "deep";
  t.subdir("", "deep");
  for (int i = 0; i < 1500; ++i) {
    t.subdir(deep, "d");
    deep += "/d";
  }
  t.file(deep, "bottom", 77);
  // Each level holds the next, a file and an empty folder that comes only
  // after all below the next: one handle wanted per level.
  std::string chain = "chain";
  t.subdir("", "chain");
  for (int i = 0; i < 1500; ++i) {
    t.subdir(chain, "b");
    t.file(chain, "f", 1);
    t.subdir(chain, "d");
    chain += "/b";
  }
  // Many tiny folders, three to a level.
  std::vector<std::string> level{"bushy"};
  t.subdir("", "bushy");
  for (int depth = 0; depth < 6; ++depth) {
    std::vector<std::string> next;
    for (const std::string& d : level) {
      for (int k = 0; k < 3; ++k) {
        const std::string c = d + "/" + std::to_string(k);
        t.subdir(d, std::to_string(k));
        t.file(c, "f", static_cast<std::uint64_t>(depth * 3 + k));
        next.push_back(c);
      }
    }
    level = std::move(next);
  }
  t.subdir("", "locked").status = ListStatus::open_failed;
  FakeDir& broken = t.subdir("", "broken");
  for (int i = 0; i < 10; ++i) {
    t.subdir("broken", numbered("b", i));
    t.file("broken/" + numbered("b", i), "y", 1);
  }
  broken.status = ListStatus::cut_short;
  t.file("", "link", 5, EntryKind::link);
  t.file("", "placeholder", 9, EntryKind::skip);
  t.subdir("", "Temp");
  t.subdir("Temp", "cache");
  t.file("Temp/cache", "c", 10);
  t.file("Temp", "t", 10);
  // Green folders of equal size, more than the list keeps: ties at the cut.
  t.subdir("", "many");
  for (int i = 0; i < 1500; ++i) {
    t.subdir("many", numbered("cache", i));
    t.file("many/" + numbered("cache", i), "z", 100);
  }
}

WalkResult walk_alone(FakeTree& tree, std::uint32_t depth) {
  return walk(*fake_listing(tree), depth, RuleEngine());
}

TEST(OrderedListing, ReportsWhatOneThreadReports) {
  SCOPED_TRACE(::testing::Message() << "OSKRA_TEST_SEED=" << fake::test_seed());
  FakeTree tree;
  hostile_tree(tree);
  const WalkResult alone = walk_alone(tree, 3);
  EXPECT_EQ(alone.denied, 2u);  // "locked" and "broken"
  // Generous and tight limits; few descriptors, so handles are given up and
  // had again; and once, no descriptor left.
  for (const Limits limits : {Limits{}, Limits{3, 4096}}) {
    for (const std::size_t descriptors : {std::size_t{64}, std::size_t{12}}) {
      for (const std::size_t exhausted_call : {std::size_t{0}, std::size_t{5}}) {
        SCOPED_TRACE(::testing::Message() << limits.listings << " listings, " << descriptors
                                          << " descriptors, exhausted at " << exhausted_call);
        tree.most_open_handles = 0;
        tree.open_calls = 0;
        tree.exhausted_call = exhausted_call;
        EXPECT_TRUE(
            same(walk(*fake_listing(tree, 4, descriptors, limits), 3, RuleEngine()), alone));
        EXPECT_EQ(tree.open_handles, 0u);
        // Never more open at once than it was allowed.
        EXPECT_LE(tree.most_open_handles, descriptors);
      }
    }
  }
}

TEST(OrderedListing, OpensEachFolderAboutOnceHoweverDeep) {
  SCOPED_TRACE(::testing::Message() << "OSKRA_TEST_SEED=" << fake::test_seed());
  // A chain whose every level waits for its empty folder until all below it
  // is done: with the listings ahead bounded and few handles, each level's
  // handle is given up on the way down and had again on the way up.
  constexpr int LEVELS = 3000;
  FakeTree tree;
  std::string at;
  for (int i = 0; i < LEVELS; ++i) {
    tree.subdir(at, "b");
    tree.file(at, "f", 1);
    tree.subdir(at, "d");
    at += at.empty() ? "b" : "/b";
  }
  const WalkResult alone = walk_alone(tree, 0);
  // Also after one open found no descriptor left (the rest of the scan must
  // not pay for it), and with fewer descriptors than the budget said.
  struct Shortage {
    std::size_t exhausted_call;
    std::size_t handle_cap;
  };
  // Two descriptors, none to keep, are still enough to open each folder a
  // bounded number of times: hold one, open the next, climb back by "..".
  struct Budget {
    unsigned workers;
    std::size_t descriptors;
  };
  for (const Budget budget : {Budget{0, 2}, Budget{0, 3}, Budget{0, 16}, Budget{4, 16}}) {
    for (const Shortage shortage : {Shortage{0, 0}, Shortage{5, 0}, Shortage{0, 13}}) {
      SCOPED_TRACE(::testing::Message() << budget.workers << " workers, " << budget.descriptors
                                        << " descriptors, exhausted at " << shortage.exhausted_call
                                        << ", at most " << shortage.handle_cap << " handles");
      tree.components_opened = 0;
      tree.open_calls = 0;
      tree.most_open_handles = 0;
      tree.exhausted_call = shortage.exhausted_call;
      tree.handle_cap = shortage.handle_cap;
      EXPECT_TRUE(same(walk(*fake_listing(tree, budget.workers, budget.descriptors, {3, 1 << 20}),
                            0, RuleEngine()),
                       alone));
      EXPECT_LE(tree.components_opened, 3u * (2 * LEVELS + 1));
      EXPECT_LE(tree.most_open_handles, budget.descriptors);
    }
  }
}

TEST(OrderedListing, HandlesShortNeverMeanDenied) {
  SCOPED_TRACE(::testing::Message() << "OSKRA_TEST_SEED=" << fake::test_seed());
  // 200 folders over two levels, each with a file; the budget believes in
  // 64 handles where only a few can be open at once.
  FakeTree tree;
  for (int i = 0; i < 20; ++i) {
    const std::string d = numbered("d", i);
    tree.subdir("", d);
    for (int k = 0; k < 9; ++k) {
      tree.subdir(d, numbered("e", k));
      tree.file(d + "/" + numbered("e", k), "f", static_cast<std::uint64_t>(i + k));
    }
  }
  const WalkResult alone = walk_alone(tree, 2);
  EXPECT_EQ(alone.denied, 0u);
  for (const std::size_t cap : {2u, 3u, 4u}) {
    SCOPED_TRACE(::testing::Message() << "at most " << cap << " handles");
    tree.handle_cap = cap;
    EXPECT_TRUE(same(walk(*fake_listing(tree, 4, 64), 2, RuleEngine()), alone));
    EXPECT_EQ(tree.open_handles, 0u);
  }
}

TEST(OrderedListing, ARootReachedAgainMustBeTheSameFolder) {
  // With no handle to keep (a budget of one), every folder is reached again
  // from the root's path; after the first listing that path leads to another folder, whose
  // folders of the same names must not be counted.
  FakeTree tree;
  tree.file("", "own", 10);
  for (const char* name : {"a", "b"}) {
    tree.subdir("", name);
    tree.file(name, "f", 1);
  }
  FakeTree elsewhere;
  for (const char* name : {"a", "b"}) elsewhere.file(name, "big", 5'000'000'000);
  tree.swapped_root = &elsewhere.dir("");
  const WalkResult swapped = walk(*fake_listing(tree, 0, 1), 1, RuleEngine());
  EXPECT_EQ(swapped.root().bytes, 10u);
  EXPECT_EQ(swapped.denied, 2u);
}

TEST(OrderedListing, BytesAheadStayWithinTheBound) {
  FakeTree tree;
  // Many folders, each listing a few hundred bytes.
  for (int i = 0; i < 400; ++i) {
    const std::string d = numbered("d", i);
    tree.subdir("", d);
    for (int k = 0; k < 5; ++k) tree.file(d, numbered("file", k), 1);
  }
  const WalkResult alone = walk_alone(tree, 1);
  constexpr std::size_t BYTES = 2048;
  const auto listing = fake_listing(tree, 4, 64, {1000, BYTES});
  // The walk dawdles now and then until the workers have run well ahead (or
  // a few seconds pass), so a loaded machine cannot starve them of the chance.
  const ProgressHook dawdle = [&listing](const WalkProgress&) {
    for (int i = 0; i < 500 && listing->peak_bytes_ahead() <= BYTES / 2; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  };
  EXPECT_TRUE(same(walk(*listing, 1, RuleEngine(), dawdle), alone));
  // Each of the four workers may finish one listing past the bound.
  EXPECT_GT(listing->peak_bytes_ahead(), BYTES / 2);
  EXPECT_LE(listing->peak_bytes_ahead(), BYTES + 4 * 1024);
}

TEST(OrderedListing, RealTreeReportsWhatOneThreadReports) {
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
  using DiskListing = OrderedListing<platform::DirectoryReader>;
  const WalkResult alone = walk(*std::make_unique<DiskListing>(root, 0, 64), 2, engine);
  const WalkResult parallel =
      walk(*std::make_unique<DiskListing>(root, 8, 64, Limits{4, 1 << 16}), 2, engine);
  std::error_code ec;
  fs::remove_all(base, ec);
  EXPECT_EQ(alone.root().dirs, 333u);
  EXPECT_TRUE(same(parallel, alone));
}

#ifndef _WIN32
TEST(OrderedListing, AFolderSwappedForALinkIsNotFollowed) {
  namespace fs = std::filesystem;
  const fs::path base =
      fs::temp_directory_path() / (numbered("oskra_swap_test_", std::random_device{}()));
  fs::create_directories(base / "tree" / "sub");
  fs::create_directories(base / "outside" / "secret");
  OrderedListing<platform::DirectoryReader> listing((base / "tree").string(), 0, 64);
  Listing root;
  ASSERT_TRUE(listing.next(root));
  ASSERT_EQ(root.records.size(), 1u);
  // Between the parent's listing and its own, "sub" becomes a link out of
  // the tree.
  fs::rename(base / "tree" / "sub", base / "moved");
  fs::create_directory_symlink(base / "outside", base / "tree" / "sub");
  Listing sub;
  ASSERT_TRUE(listing.next(sub));
  EXPECT_EQ(sub.name, "sub");
  EXPECT_EQ(sub.status, ListStatus::open_failed);
  EXPECT_EQ(sub.records.size(), 0u);
  EXPECT_FALSE(listing.next(sub));
  std::error_code ec;
  fs::remove_all(base, ec);
}
#endif

TEST(ListingWorkers, NoneWhereParallelReadsCostAndNeverMoreThanHandlesAllow) {
  constexpr std::uint64_t ANY = UINT64_MAX;
  EXPECT_EQ(listing_workers(8, /*rotating=*/true, 1016, ANY), 0u);
  EXPECT_EQ(listing_workers(8, false, 1016, 60u << 20), 0u);  // `ulimit -v 60000`
  EXPECT_GT(listing_workers(0, false, 1016, ANY), 0u);        // core count unknown
  // Each lister, the walk's own too, needs two handles at once and as many
  // again to keep for children: the workers never want more than there are.
  for (std::size_t descriptors = 0; descriptors < 200; ++descriptors) {
    const unsigned workers = listing_workers(64, false, descriptors, ANY);
    EXPECT_LE(4 * (workers + 1), std::max<std::size_t>(descriptors, 4)) << descriptors;
  }
}

// Folders f0 to f79 in walk order, each with a file; `change` alters one
// copy of the tree before comparing.
bool self_check_agrees(const std::function<void(FakeTree&)>& change) {
  FakeTree a;
  FakeTree b;
  for (FakeTree* t : {&a, &b}) {
    for (int i = 0; i < 80; ++i) {
      t->subdir("", numbered("f", i));
      t->file(numbered("f", i), "x", 10);
    }
    t->file("", "a link", 5, EntryKind::link);
  }
  change(b);
  return listings_agree(*fake_listing(a), *fake_listing(b), 64);
}

TEST(ListingsAgree, TheRootAndTheFirst64FoldersAreCompared) {
  EXPECT_TRUE(self_check_agrees([](FakeTree&) {}));
  // The 64th folder after the root is f63; what lies past it is not looked at.
  EXPECT_FALSE(self_check_agrees([](FakeTree& t) { t.dir("f63").records[0].size = 11; }));
  EXPECT_TRUE(self_check_agrees([](FakeTree& t) { t.dir("f64").records[0].size = 11; }));
  EXPECT_FALSE(self_check_agrees([](FakeTree& t) { t.dir("").records.back().size = 6; }));
  EXPECT_FALSE(
      self_check_agrees([](FakeTree& t) { t.dir("f3").records[0].kind = EntryKind::skip; }));
  EXPECT_FALSE(self_check_agrees(
      [](FakeTree& t) { t.dir("f3").records[0].name = platform::from_utf8("X"); }));
  EXPECT_FALSE(self_check_agrees([](FakeTree& t) { t.file("f9", "more", 0); }));
  EXPECT_FALSE(self_check_agrees([](FakeTree& t) { t.dir("f5").status = ListStatus::cut_short; }));
  // A folder's own listed size counts nowhere.
  EXPECT_TRUE(self_check_agrees([](FakeTree& t) { t.dir("").records[2].size = 0; }));
  // A tree smaller than the sample: both streams end together, or not.
  FakeTree small;
  small.file("", "x", 1);
  FakeTree other;
  other.file("", "x", 1);
  EXPECT_TRUE(listings_agree(*fake_listing(small), *fake_listing(other), 64));
  other.subdir("", "d");
  EXPECT_FALSE(listings_agree(*fake_listing(small), *fake_listing(other), 64));
}

TEST(ListingsAgree, SayTheirFirstDifference) {
  FakeTree a;
  FakeTree b;
  for (FakeTree* t : {&a, &b}) {
    t->subdir("", "d");
    t->file("d", "x", 10);
    t->subdir("d", "e");
    t->file("d/e", "y\nz", 1);
  }
  const auto difference = [&] { return first_difference(*fake_listing(a), *fake_listing(b), 64); };
  EXPECT_EQ(difference(), std::nullopt);
  b.dir("d/e").records[0].size = 2;
  EXPECT_EQ(difference(), "文件夹 " + shown("d/e") + ", 条目 y\nz, 大小: 文件表 1, 列出 2");
  // Unless the file itself says the table's size is its own: the listing's
  // was left stale in the folder's index.
  NativeString asked;
  const auto own_size = [&asked](std::optional<std::uint64_t> size) {
    return [&asked, size](platform::NativeStringView folder, platform::NativeStringView name) {
      asked = NativeString(folder) + platform::SEPARATOR + NativeString(name);
      return size;
    };
  };
  EXPECT_EQ(first_difference(*fake_listing(a), *fake_listing(b), 64, own_size(1)), std::nullopt);
  EXPECT_TRUE(asked.ends_with(fake::native("d/e/y\nz"))) << platform::to_utf8_lossy(asked);
  for (const std::optional<std::uint64_t> other : {std::optional<std::uint64_t>(2), {}}) {
    EXPECT_NE(first_difference(*fake_listing(a), *fake_listing(b), 64, own_size(other)),
              std::nullopt);
  }
  b.dir("d").records[0].kind = EntryKind::link;  // the first difference wins
  EXPECT_EQ(difference(), "文件夹 " + shown("d") + ", 条目 x, 类型: 文件表 文件, 列出 链接");
  b.file("", "more", 0);
  EXPECT_EQ(difference(), "文件夹 " + shown("") + ", 条目数: 文件表 1, 列出 2");
}

}  // namespace
}  // namespace oskra
