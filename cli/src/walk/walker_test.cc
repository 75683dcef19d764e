#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "support/fake_tree.h"
#include "walk/green_list.h"
#include "walk/listing.h"
#include "walk/node_store.h"
#include "walk/walk.h"

namespace oskra {
namespace {

using fake::DISPLAY_ROOT;
using fake::FakeTree;
using fake::native;
using fake::shown;
using platform::EntryKind;
using platform::ListStatus;
using platform::NativeString;

Rule rule(std::string pattern, State state, std::string reason = "r") {
  return Rule{std::move(pattern), state, std::move(reason), "a"};
}

WalkResult run_walk(FakeTree& tree, std::uint32_t depth, const RuleEngine& engine) {
  return walk(*fake::fake_listing(tree), depth, engine);
}

const Node* child(const Node& n, const std::string& name) {
  for (const Node& c : n.children)
    if (c.name() == name) return &c;
  return nullptr;
}

TEST(Walk, CountsEachKindOfEntry) {
  FakeTree fs;
  fs.file("", "plain", 10);
  fs.subdir("", "dir");
  fs.file("dir", "inner", 5);
  // An entry to skip: not counted at all, and no name of a node.
  fs.file("", "placeholder", 99, EntryKind::skip);
  fs.file("", "filelink", 7, EntryKind::link);
  // A link to a directory: a file of its listed size, never entered.
  fs.file("", "junction", 3, EntryKind::link);
  fs.dir("junction").records.push_back({platform::from_utf8("never"), EntryKind::file, 1000});

  WalkResult r = run_walk(fs, 1, RuleEngine{});
  EXPECT_EQ(r.root().bytes, 10u + 5 + 7 + 3);  // a directory's own listed size is never added
  EXPECT_EQ(r.root().files, 4u);
  EXPECT_EQ(r.root().dirs, 2u);
  EXPECT_EQ(r.denied, 0u);
  ASSERT_EQ(r.root().children.size(), 4u);
  EXPECT_EQ(r.root().children[0].name(), "plain");
  EXPECT_EQ(r.root().children[1].name(), "dir");
  EXPECT_EQ(r.root().children[2].name(), "filelink");
  EXPECT_EQ(r.root().children[3].name(), "junction");
  const Node& junction = r.root().children[3];
  EXPECT_EQ(junction.bytes, 3u);
  EXPECT_EQ(junction.files, 0u);
  EXPECT_EQ(junction.dirs, 0u);
  EXPECT_TRUE(junction.children.empty());
  // Only the root and "dir" were opened: neither link target is visited.
  EXPECT_EQ(fs.components_opened, 2u);
  EXPECT_EQ(r.root().children[1].path(), shown("dir"));
  EXPECT_EQ(r.root().children[1].children[0].path(), shown("dir/inner"));

  // Siblings share their texts; a copy keeps them after the tree is gone.
  Node inner = r.root().children[1].children[0];
  r = WalkResult();
  EXPECT_EQ(inner.name(), "inner");
  EXPECT_EQ(inner.path(), shown("dir/inner"));
}

TEST(Walk, DeniedAndBrokenListings) {
  FakeTree fs;
  fs.subdir("", "locked");
  fs.dir("locked").status = ListStatus::open_failed;
  fs.subdir("", "broken");
  fs.file("broken", "before", 4);
  fs.dir("broken").status = ListStatus::cut_short;
  fs.subdir("", "empty");
  fs.file("", "f", 1);

  const WalkResult r = run_walk(fs, 1, RuleEngine{});
  EXPECT_EQ(r.denied, 2u);  // a listing that breaks off has lost entries too
  EXPECT_EQ(r.root().dirs, 4u);
  EXPECT_EQ(r.root().files, 2u);
  EXPECT_EQ(r.root().bytes, 5u);
  const Node* locked = child(r.root(), "locked");
  ASSERT_NE(locked, nullptr);
  EXPECT_EQ(locked->bytes, 0u);
  EXPECT_EQ(locked->files, 0u);
  EXPECT_EQ(locked->dirs, 1u);
  EXPECT_TRUE(locked->children.empty());
  const Node* broken = child(r.root(), "broken");
  ASSERT_NE(broken, nullptr);
  EXPECT_EQ(broken->bytes, 4u);
  ASSERT_EQ(broken->children.size(), 1u);
  const Node* empty = child(r.root(), "empty");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->dirs, 1u);
  EXPECT_EQ(empty->bytes, 0u);
  // Each node says whether its own folder was read whole.
  EXPECT_TRUE(locked->denied());
  EXPECT_TRUE(broken->denied());
  EXPECT_FALSE(empty->denied());
  EXPECT_FALSE(r.root().denied());

  // A root that cannot be listed, even one judged green, is counted denied
  // and offered nowhere.
  FakeTree none;
  none.dir("").status = ListStatus::open_failed;
  const WalkResult root_denied = run_walk(none, 1, RuleEngine({rule("r", State::green)}));
  EXPECT_EQ(root_denied.denied, 1u);
  EXPECT_EQ(root_denied.root().dirs, 1u);
  EXPECT_EQ(root_denied.root().bytes, 0u);
  ASSERT_NE(root_denied.root().mark, nullptr);
  EXPECT_TRUE(root_denied.greens.empty());
}

// Replays recorded listings in an order a test bends.
class Replay final : public ListingStream {
 public:
  struct Recorded {
    std::size_t depth;
    NativeString name;
    platform::RecordList records;
  };
  explicit Replay(std::vector<Recorded> listings) : listings_(std::move(listings)) {}
  bool next(Listing& out) override {
    if (at_ == listings_.size()) return false;
    Recorded& r = listings_[at_++];
    out.depth = r.depth;
    out.name = r.name;
    out.records = r.records;
    out.status = ListStatus::ok;
    return true;
  }

 private:
  std::vector<Recorded> listings_;
  std::size_t at_ = 0;
};

TEST(Walk, StopsOnAStreamOutOfOrder) {
  FakeTree fs;
  fs.subdir("", "a");
  fs.subdir("a", "deep");
  fs.file("a/deep", "x", 5);
  fs.subdir("", "b");
  fs.file("b", "y", 7);
  std::vector<Replay::Recorded> in_order;
  {
    auto stream = fake::fake_listing(fs);
    for (Listing l; stream->next(l);) {
      in_order.push_back({l.depth, NativeString(l.name), std::move(l.records)});
    }
  }
  ASSERT_EQ(in_order.size(), 4u);  // root, a, a/deep, b
  Replay same(in_order);
  EXPECT_EQ(walk(same, 8, RuleEngine{}).root(), run_walk(fs, 8, RuleEngine{}).root());

  auto bent = [&](auto change) {
    std::vector<Replay::Recorded> listings = in_order;
    change(listings);
    Replay stream(std::move(listings));
    return [stream = std::move(stream)]() mutable { walk(stream, 8, RuleEngine{}); };
  };
  using L = std::vector<Replay::Recorded>;
  // b's listing where a's is due: b's 7 bytes would count under a.
  EXPECT_THROW(bent([](L& l) { std::swap(l[1], l[3]); })(), StreamOutOfOrder);
  EXPECT_THROW(bent([](L& l) { l.erase(l.begin() + 2); })(), StreamOutOfOrder);  // one missing
  EXPECT_THROW(bent([](L& l) { l.push_back(l[3]); })(), StreamOutOfOrder);       // one extra
  EXPECT_THROW(bent([](L& l) { l[2].depth = 1; })(), StreamOutOfOrder);          // wrong depth
  EXPECT_THROW(bent([](L& l) { l.clear(); })(), StreamOutOfOrder);               // nothing at all
}

TEST(Walk, DetailDepthKeepsTotalsAndJudgesOnlyWhatItKeeps) {
  FakeTree fs;
  fs.subdir("", "a");
  fs.subdir("a", "b");
  fs.file("a/b", "deep.txt", 100);
  fs.subdir("a/b", "gdir");  // a green directory below the detail depth
  fs.file("a/b/gdir", "x", 8);
  fs.file("a/b", "gfile", 50);  // a green file below the detail depth
  fs.file("a", "top", 1);
  const RuleEngine engine({rule("gdir", State::green), rule("gfile", State::green)});

  // Depth 0: full totals, the root's own entries only.
  const WalkResult flat = run_walk(fs, 0, engine);
  EXPECT_EQ(flat.root().bytes, 159u);
  EXPECT_EQ(flat.root().files, 4u);
  EXPECT_EQ(flat.root().dirs, 4u);
  ASSERT_EQ(flat.root().children.size(), 1u);
  EXPECT_EQ(flat.root().children[0].bytes, 159u);
  EXPECT_TRUE(flat.root().children[0].children.empty());
  // Directories are judged at any depth; files below the depth are not.
  ASSERT_EQ(flat.greens.size(), 1u);
  EXPECT_EQ(flat.greens[0].name(), "gdir");
  EXPECT_EQ(flat.greens[0].path(), shown("a/b/gdir"));
  EXPECT_EQ(flat.greens[0].bytes, 8u);

  // Depth 1: the root's entries and their entries; "b" has totals, no children.
  const WalkResult two = run_walk(fs, 1, engine);
  const Node* a = child(two.root(), "a");
  ASSERT_NE(a, nullptr);
  const Node* b = child(*a, "b");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->bytes, 158u);
  EXPECT_EQ(b->files, 3u);
  EXPECT_EQ(b->dirs, 2u);
  EXPECT_TRUE(b->children.empty());
  ASSERT_NE(child(*a, "top"), nullptr);
  EXPECT_EQ(two.greens.size(), 1u);

  // The largest depth keeps everything: the green file gets a node and
  // joins the list.
  const WalkResult all = run_walk(fs, UINT32_MAX, engine);
  EXPECT_EQ(child(*child(*child(all.root(), "a"), "b"), "gdir")->children.size(), 1u);
  ASSERT_EQ(all.greens.size(), 2u);
  EXPECT_EQ(all.greens[0].name(), "gfile");
  EXPECT_EQ(all.greens[1].name(), "gdir");
  EXPECT_TRUE(all.greens[1].children.empty());  // green copies carry no children
  EXPECT_EQ(all.greens[1].files, 1u);
}

TEST(Walk, MarksAreInheritedUntilADeeperVerdict) {
  FakeTree fs;
  fs.subdir("", "red");
  fs.file("red", "plain", 1);
  fs.subdir("red", "cache");
  fs.file("red/cache", "c", 2);
  fs.subdir("red/cache", "innerred");
  fs.file("red/cache/innerred", "leaf", 3);
  const RuleEngine engine({rule("red", State::red, "why-red"), rule("innerred", State::red)});

  const WalkResult r = run_walk(fs, 9, engine);
  EXPECT_EQ(r.root().mark, nullptr);
  const Node* red = child(r.root(), "red");
  ASSERT_NE(red, nullptr);
  ASSERT_NE(red->mark, nullptr);
  EXPECT_EQ(red->mark->pattern, "red");
  EXPECT_EQ(red->mark->source, SOURCE_USER);
  const Node* plain = child(*red, "plain");
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->mark, red->mark);  // the directory's verdict
  const Node* cache = child(*red, "cache");
  ASSERT_NE(cache, nullptr);
  ASSERT_NE(cache->mark, nullptr);
  EXPECT_EQ(cache->mark->pattern, "cache");  // the built-in green rule takes over
  EXPECT_EQ(cache->mark->source, SOURCE_BUILTIN);
  EXPECT_EQ(child(*cache, "c")->mark, cache->mark);
  const Node* inner = child(*cache, "innerred");
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->mark->pattern, "innerred");
  EXPECT_EQ(child(*inner, "leaf")->mark, inner->mark);
  // Only the green directory's own verdict puts it in the list.
  ASSERT_EQ(r.greens.size(), 1u);
  EXPECT_EQ(r.greens[0].path(), shown("red/cache"));
  EXPECT_EQ(r.greens[0].bytes, 5u);
}

TEST(Walk, GreensFollowTheOrderEntriesFinish) {
  FakeTree fs;
  fs.subdir("", "Temp");
  fs.file("Temp", "a", 10);
  fs.subdir("Temp", "cache");
  fs.file("Temp/cache", "b", 10);
  fs.file("", "thumbcache_1.db", 10);
  fs.subdir("", "cache");
  fs.file("cache", "c", 10);
  fs.subdir("cache", "npm-cache");
  fs.file("cache/npm-cache", "d", 5);

  const WalkResult r = run_walk(fs, 9, RuleEngine{});
  // Equal sizes keep the walk's order: inner directories before their parents.
  std::vector<std::string> paths;
  for (const Node& g : r.greens) paths.push_back(g.path());
  EXPECT_EQ(paths, (std::vector<std::string>{shown("Temp"), shown("cache"), shown("Temp/cache"),
                                             shown("thumbcache_1.db"), shown("cache/npm-cache")}));
  EXPECT_EQ(r.greens[0].bytes, 20u);
  EXPECT_EQ(r.greens[1].bytes, 15u);
}

TEST(Walk, ListsEveryDirectoryUnderItsExactNativeName) {
  FakeTree fs;
#ifdef _WIN32
  const NativeString odd_name = L"odd\xD800";  // an unpaired surrogate
#else
  const NativeString odd_name = "odd\xFF";  // not UTF-8
#endif
  fs.dir("").records.push_back({odd_name, EntryKind::directory, 0});
  fs.dir("").at(odd_name).records.push_back({platform::from_utf8("f"), EntryKind::file, 42});
  // A sibling whose real name is the lossy text of the odd one must not be
  // listed in its place.
  fs.subdir("", "odd\xEF\xBF\xBD");

  const WalkResult r = run_walk(fs, 1, RuleEngine{});
  EXPECT_EQ(r.denied, 0u);
  EXPECT_EQ(r.root().bytes, 42u);
  ASSERT_EQ(r.root().children.size(), 2u);
  EXPECT_EQ(r.root().children[0].name(), "odd\xEF\xBF\xBD");
  EXPECT_EQ(r.root().children[0].bytes, 42u);
  EXPECT_EQ(r.root().children[0].children.at(0).path(), shown("odd\xEF\xBF\xBD/f"));
  EXPECT_EQ(r.root().children[1].bytes, 0u);
}

TEST(Walk, DeepTreesNeedNoRecursion) {
  // Far deeper than a walk that recursed per level would like. (Every level
  // is judged on its whole path, so the cost grows with the square of the depth.)
  constexpr std::size_t depth = 12000;
  FakeTree chain;
  fake::FakeDir* at = &chain.dir("");
  for (std::size_t i = 0; i < depth; ++i) {
    at->records.push_back({platform::from_utf8("d"), EntryKind::directory, 0});
    at = &at->at(platform::from_utf8("d"));
  }
  at->records.push_back({platform::from_utf8("leaf"), EntryKind::file, 7});
  const Node root = run_walk(chain, 0, RuleEngine{}).root();
  EXPECT_EQ(root.dirs, depth + 1);
  EXPECT_EQ(root.bytes, 7u);
  EXPECT_EQ(root.files, 1u);
  EXPECT_EQ(root.name(), "r");
  EXPECT_EQ(root.path(), DISPLAY_ROOT);
}

TEST(Node, FreesADeepTreeWithoutDeepRecursion) {
  // Freed by plain recursion, this chain would need tens of megabytes of
  // stack: the test fails by crashing.
  auto root = std::make_unique<Node>();
  Node* at = root.get();
  for (int i = 0; i < 300000; ++i) at = &at->children.emplace_back();
  root.reset();
}

TEST(Node, TakesThePlaceOfItsOwnAncestor) {
  // The node moved in lives among the children the assignment replaces:
  // it must be taken out before they go (ASan sees the difference).
  NodeStore store;
  for (std::pmr::memory_resource* arrays :
       {static_cast<std::pmr::memory_resource*>(&store), std::pmr::get_default_resource()}) {
    Node n(arrays);
    n.set_name_and_path("top", "/top");
    Node& mid = n.children.emplace_back(arrays);
    mid.set_name_and_path("mid", "/top/mid");
    mid.bytes = 7;
    Node& leaf = mid.children.emplace_back(arrays);
    leaf.set_name_and_path("leaf", "/top/mid/leaf");
    leaf.bytes = 7;
    n = std::move(n.children[0]);
    EXPECT_EQ(n.name(), "mid");
    EXPECT_EQ(n.bytes, 7u);
    ASSERT_EQ(n.children.size(), 1u);
    EXPECT_EQ(n.children[0].path(), "/top/mid/leaf");
  }
}

TEST(GreenList, KeepsExactlyWhatSortThenCutKeeps) {
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    const std::size_t capacity = 1 + rng() % 20;
    const int count = static_cast<int>(rng() % 200);
    GreenList list(capacity);
    std::vector<Node> all;
    for (int i = 0; i < count; ++i) {
      Node n;
      n.bytes = rng() % 8;  // many ties
      n.set_name_and_path(std::to_string(i), "");
      all.push_back(n);
      list.offer(n);
    }
    std::stable_sort(all.begin(), all.end(),
                     [](const Node& a, const Node& b) { return a.bytes > b.bytes; });
    if (all.size() > capacity) all.resize(capacity);
    EXPECT_EQ(list.take_sorted(), all) << "round " << round;
  }
  GreenList none(0);
  Node n;
  none.offer(n);
  EXPECT_TRUE(none.take_sorted().empty());
}

TEST(Walk, KeepsTheThousandLargestGreensAndSaturatesTotals) {
  FakeTree fs;
  for (int i = 0; i < 1500; ++i) {
    fs.subdir("", fake::numbered("Temp", static_cast<std::uint64_t>(i)));
    fs.file(fake::numbered("Temp", static_cast<std::uint64_t>(i)), "f",
            static_cast<std::uint64_t>(i % 600));
  }
  const WalkResult r = run_walk(fs, 0, RuleEngine({rule("Temp*", State::green)}));
  ASSERT_EQ(r.greens.size(), 1000u);
  EXPECT_EQ(r.greens.front().name(), "Temp599");  // ties keep the walk's order
  EXPECT_EQ(r.greens[1].name(), "Temp1199");
  // The cut falls among the three folders of 166 bytes: the first one stays.
  EXPECT_EQ(r.greens.back().name(), "Temp166");
  EXPECT_EQ(r.greens.back().bytes, 166u);

  // Three files of 2^63 - 1 bytes: the sum stops at the largest value.
  FakeTree huge;
  for (const char* name : {"a", "b", "c"}) huge.file("", name, UINT64_MAX / 2);
  EXPECT_EQ(run_walk(huge, 0, RuleEngine{}).root().bytes, UINT64_MAX);
}

}  // namespace
}  // namespace oskra
