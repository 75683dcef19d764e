// A directory tree in memory for the tests of the walk and of the listing
// engine: `FakeReader` reads a `FakeTree` as the directory reader reads a
// disk (handles opened one component at a time below an open one), with
// links and placeholders as records, folders that fail to open, listings
// that break off, and shortages of handles. It is the one seam the tests
// feed the walk through.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "walk/level_by_level.h"
#include "walk/listing.h"

namespace oskra::fake {

using platform::EntryKind;
using platform::ListStatus;
using platform::NativeString;
using platform::NativeStringView;
using platform::OpenStatus;

// Test paths are written with "/" and turned into this platform's form: a
// root of /r on Linux, \\?\C:\r on Windows (as canonicalisation gives it).
#ifdef _WIN32
inline const std::string ROOT_TEXT = "\\\\?\\C:\\r";
inline const std::string DISPLAY_ROOT = "C:\\r";
#else
inline const std::string ROOT_TEXT = "/r";
inline const std::string DISPLAY_ROOT = "/r";
#endif
inline constexpr char SEP = static_cast<char>(platform::SEPARATOR);

inline std::string with_separators(std::string rel) {
  std::replace(rel.begin(), rel.end(), '/', SEP);
  return rel;
}
// The native path of `rel` below the root; the root for "".
inline NativeString native(const std::string& rel) {
  return platform::from_utf8(rel.empty() ? ROOT_TEXT : ROOT_TEXT + SEP + with_separators(rel));
}
// Its display form.
inline std::string shown(const std::string& rel) {
  return rel.empty() ? DISPLAY_ROOT : DISPLAY_ROOT + SEP + with_separators(rel);
}
// "prefix" followed by a number (built so that g++ 12 at -O3 sees no false
// overlap in the concatenation).
inline std::string numbered(const char* prefix, std::uint64_t n) {
  std::string text(prefix);
  text += std::to_string(n);
  return text;
}

struct FakeDir {
  struct Record {
    NativeString name;
    EntryKind kind;
    std::uint64_t size;
  };
  std::vector<Record> records;              // in listing order
  std::map<NativeString, FakeDir> subdirs;  // what opens under each name
  FakeDir* parent = nullptr;
  ListStatus status = ListStatus::ok;  // open_failed: it cannot be opened;
                                       // cut_short: its listing breaks off
                                       // after its records

  // The directory below this one at `native_name`, made if missing.
  FakeDir& at(const NativeString& native_name) {
    FakeDir& d = subdirs[native_name];
    d.parent = this;
    return d;
  }
};

class FakeTree {
 public:
  FakeTree() = default;
  FakeTree(const FakeTree&) = delete;
  FakeTree& operator=(const FakeTree&) = delete;
  // Chains of folders thousands deep must not overflow the stack here.
  ~FakeTree() {
    std::vector<FakeDir> top;
    top.push_back(std::move(root_));
    free_level_by_level(std::move(top), [](FakeDir& d, std::vector<FakeDir>& pending) {
      for (auto& entry : d.subdirs) pending.push_back(std::move(entry.second));
    });
  }

  // The directory `rel` ("" the root), made with its path if missing.
  FakeDir& dir(const std::string& rel) {
    FakeDir* d = &root_;
    std::size_t at = 0;
    while (at < rel.size()) {
      const std::size_t slash = std::min(rel.find('/', at), rel.size());
      d = &d->at(platform::from_utf8(rel.substr(at, slash - at)));
      at = slash + 1;
    }
    return *d;
  }
  // Adds a file (or any record the walk does not enter) to `rel`.
  void file(const std::string& rel, const std::string& name, std::uint64_t size,
            EntryKind kind = EntryKind::file) {
    dir(rel).records.push_back({platform::from_utf8(name), kind, size});
  }
  // Adds a subdirectory to `rel` and returns it.
  FakeDir& subdir(const std::string& rel, const std::string& name) {
    FakeDir& parent = dir(rel);
    const NativeString native_name = platform::from_utf8(name);
    parent.records.push_back({native_name, EntryKind::directory, 4096});
    return parent.at(native_name);
  }

  // The directory at a whole native path, or null.
  const FakeDir* find(NativeStringView path) const {
    const NativeString root = native("");
    if (!path.starts_with(root)) return nullptr;
    path.remove_prefix(root.size());
    const FakeDir* d = &root_;
    while (!path.empty()) {
      if (path.front() != platform::SEPARATOR) return nullptr;
      path.remove_prefix(1);
      const std::size_t sep = std::min(path.find(platform::SEPARATOR), path.size());
      const auto found = d->subdirs.find(NativeString(path.substr(0, sep)));
      if (found == d->subdirs.end()) return nullptr;
      d = &found->second;
      path.remove_prefix(sep);
    }
    return d;
  }

  static ListStatus read(const FakeDir& d, platform::RecordList& out) {
    for (const FakeDir::Record& r : d.records) out.add(r.name, r.kind, r.size);
    return d.status;
  }

  // What the listing ahead did with it: handles open now and at most,
  // components opened.
  std::atomic<std::size_t> open_handles{0};
  std::atomic<std::size_t> most_open_handles{0};
  std::atomic<std::size_t> components_opened{0};
  std::atomic<std::size_t> open_calls{0};
  // Shortages of descriptors: the open call numbered `exhausted_call` (from
  // 1; 0 none) finds none left, and so does every open while `handle_cap`
  // handles (0: no cap) are open.
  std::size_t exhausted_call = 0;
  std::size_t handle_cap = 0;
  // Once the root has been opened, its path leads here instead (null: to
  // the root still), as when a parent folder is swapped during a scan.
  const FakeDir* swapped_root = nullptr;
  std::atomic<std::size_t> root_opens{0};

 private:
  FakeDir root_;
};

// Seeds the fakes' random timing: OSKRA_TEST_SEED when set, so a failing
// schedule can be replayed; tests print it with SCOPED_TRACE.
inline std::uint32_t test_seed() {
  static const std::uint32_t seed = [] {
    const char* text = std::getenv("OSKRA_TEST_SEED");
    return text != nullptr ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10))
                           : std::random_device{}();
  }();
  return seed;
}

// Handles, one component at a time, with uneven timing so that listers
// finish in many different orders.
class FakeReader {
 public:
  explicit FakeReader(FakeTree& tree) : tree_(&tree) {}

  // Counts itself among its tree's open handles while it holds a directory.
  class Handle {
   public:
    Handle() = default;
    Handle(Handle&& o) noexcept
        : tree_(std::exchange(o.tree_, nullptr)), dir_(std::exchange(o.dir_, nullptr)) {}
    Handle& operator=(Handle&& o) noexcept {
      if (this != &o) {
        reset();
        tree_ = std::exchange(o.tree_, nullptr);
        dir_ = std::exchange(o.dir_, nullptr);
      }
      return *this;
    }
    ~Handle() { reset(); }
    const FakeDir* dir() const { return dir_; }

   private:
    friend class FakeReader;
    void hold(FakeTree* tree, const FakeDir* d) {
      reset();
      tree_ = tree;
      dir_ = d;
      const std::size_t now = tree->open_handles.fetch_add(1) + 1;
      std::size_t most = tree->most_open_handles.load();
      while (now > most && !tree->most_open_handles.compare_exchange_weak(most, now)) {
      }
    }
    void reset() {
      if (dir_ != nullptr) tree_->open_handles.fetch_sub(1);
      dir_ = nullptr;
    }
    FakeTree* tree_ = nullptr;
    const FakeDir* dir_ = nullptr;
  };

  OpenStatus open_root(NativeStringView path, Handle& out) {
    if (short_of_handles()) return OpenStatus::exhausted;
    const bool swapped = tree_->root_opens.fetch_add(1) > 0 && tree_->swapped_root != nullptr;
    const FakeDir* d = swapped ? tree_->swapped_root : tree_->find(path);
    if (d == nullptr || d->status == ListStatus::open_failed) return OpenStatus::failed;
    tree_->components_opened.fetch_add(1);
    out.hold(tree_, d);
    return OpenStatus::ok;
  }
  OpenStatus open(const Handle& base, NativeStringView rel, Handle& out) {
    pause();
    if (short_of_handles()) return OpenStatus::exhausted;
    const FakeDir* at = base.dir();
    while (true) {
      tree_->components_opened.fetch_add(1);
      const std::size_t sep = std::min(rel.find(platform::SEPARATOR), rel.size());
      const auto found = at->subdirs.find(NativeString(rel.substr(0, sep)));
      if (found == at->subdirs.end() || found->second.status == ListStatus::open_failed) {
        return OpenStatus::failed;
      }
      at = &found->second;
      if (sep == rel.size()) break;
      rel.remove_prefix(sep + 1);
    }
    out.hold(tree_, at);
    return OpenStatus::ok;
  }
  ListStatus read(const Handle& dir, platform::RecordList& out) {
    pause();
    return FakeTree::read(*dir.dir(), out);
  }
  bool identify(const Handle& dir, platform::DirIdentity& out) {
    out = platform::DirIdentity{1, reinterpret_cast<std::uintptr_t>(dir.dir())};
    return true;
  }
  OpenStatus open_parent(const Handle& dir, const platform::DirIdentity& expected, Handle& out) {
    const FakeDir* up = dir.dir()->parent;
    if (up == nullptr || expected.file != reinterpret_cast<std::uintptr_t>(up)) {
      return OpenStatus::failed;
    }
    tree_->components_opened.fetch_add(1);
    out.hold(tree_, up);
    return OpenStatus::ok;
  }
  bool reserve() { return true; }

 private:
  bool short_of_handles() {
    const std::size_t call = tree_->open_calls.fetch_add(1) + 1;
    return call == tree_->exhausted_call ||
           (tree_->handle_cap != 0 && tree_->open_handles.load() >= tree_->handle_cap);
  }
  void pause() {
    if (rng_() % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(rng_() % 50));
  }
  inline static std::atomic<std::uint32_t> readers_{0};
  FakeTree* tree_;
  std::minstd_rand rng_{test_seed() + readers_.fetch_add(1)};
};

// The listing engine over `tree`, with `workers` threads besides the walk's.
using FakeListing = OrderedListing<FakeReader>;
inline std::unique_ptr<FakeListing> fake_listing(FakeTree& tree, unsigned workers = 0,
                                                 std::size_t descriptors = 64,
                                                 FakeListing::Limits limits = {}) {
  return std::make_unique<FakeListing>(native(""), workers, descriptors, limits,
                                       [&tree] { return FakeReader(tree); });
}

}  // namespace oskra::fake
