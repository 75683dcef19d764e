// A directory tree in memory for the tests of the walk and of the listing
// ahead of it. `FakeSource` is what the walk reads (a listing by whole path,
// every request recorded); `FakeReader` is what the listing ahead reads
// (handles opened one component at a time below an open one, as on disk).
// Both read the same `FakeTree`, so one fixture serves the tests of both.
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

// The walk's side: a listing by whole path.
class FakeSource final : public platform::DirectorySource {
 public:
  explicit FakeSource(const FakeTree& tree) : tree_(tree) {}
  ListStatus list(NativeStringView path, platform::RecordList& out) override {
    requests.emplace_back(path);
    const FakeDir* d = tree_.find(path);
    if (d == nullptr || d->status == ListStatus::open_failed) return ListStatus::open_failed;
    return FakeTree::read(*d, out);
  }
  std::vector<NativeString> requests;

 private:
  const FakeTree& tree_;
};

// The listing's side: handles, one component at a time, with uneven timing
// so that listers finish in many different orders. The tree is set by each
// test before any reader is made (readers are made by the source itself).
class FakeReader {
 public:
  static FakeTree* tree;

  // Counts itself among the open handles while it holds a directory.
  class Handle {
   public:
    Handle() = default;
    Handle(Handle&& o) noexcept : dir_(std::exchange(o.dir_, nullptr)) {}
    Handle& operator=(Handle&& o) noexcept {
      if (this != &o) {
        reset();
        dir_ = std::exchange(o.dir_, nullptr);
      }
      return *this;
    }
    ~Handle() { reset(); }
    const FakeDir* dir() const { return dir_; }

   private:
    friend class FakeReader;
    void hold(const FakeDir* d) {
      reset();
      dir_ = d;
      const std::size_t now = tree->open_handles.fetch_add(1) + 1;
      std::size_t most = tree->most_open_handles.load();
      while (now > most && !tree->most_open_handles.compare_exchange_weak(most, now)) {
      }
    }
    void reset() {
      if (dir_ != nullptr) tree->open_handles.fetch_sub(1);
      dir_ = nullptr;
    }
    const FakeDir* dir_ = nullptr;
  };

  OpenStatus open_root(NativeStringView path, Handle& out) {
    if (short_of_handles()) return OpenStatus::exhausted;
    const FakeDir* d = tree->find(path);
    if (d == nullptr || d->status == ListStatus::open_failed) return OpenStatus::failed;
    tree->components_opened.fetch_add(1);
    out.hold(d);
    return OpenStatus::ok;
  }
  OpenStatus open(const Handle& base, NativeStringView rel, Handle& out) {
    pause();
    if (short_of_handles()) return OpenStatus::exhausted;
    const FakeDir* at = base.dir();
    while (true) {
      tree->components_opened.fetch_add(1);
      const std::size_t sep = std::min(rel.find(platform::SEPARATOR), rel.size());
      const auto found = at->subdirs.find(NativeString(rel.substr(0, sep)));
      if (found == at->subdirs.end() || found->second.status == ListStatus::open_failed) {
        return OpenStatus::failed;
      }
      at = &found->second;
      if (sep == rel.size()) break;
      rel.remove_prefix(sep + 1);
    }
    out.hold(at);
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
    tree->components_opened.fetch_add(1);
    out.hold(up);
    return OpenStatus::ok;
  }
  bool reserve() { return true; }

 private:
  bool short_of_handles() {
    const std::size_t call = tree->open_calls.fetch_add(1) + 1;
    return call == tree->exhausted_call ||
           (tree->handle_cap != 0 && tree->open_handles.load() >= tree->handle_cap);
  }
  void pause() {
    if (rng_() % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(rng_() % 50));
  }
  inline static std::atomic<std::uint32_t> readers_{0};
  std::minstd_rand rng_{test_seed() + readers_.fetch_add(1)};
};
inline FakeTree* FakeReader::tree = nullptr;

}  // namespace oskra::fake
