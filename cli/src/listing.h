// Listing ahead of the walk. The walk asks for one directory at a time, in
// depth-first order, entering the subdirectories of each listing in the
// order they are listed; this source lists the directories it will ask for
// next on worker threads, as soon as their parent's listing names them, and
// hands each finished listing over when the walk asks for it. What the walk
// sees is exactly what a one-thread listing gives: the same records, in the
// same order, with the same failures.
//
// Opening: a directory is opened relative to an open ancestor (its parent,
// when the parent's handle could be kept), never by its whole path again,
// so a folder swapped for a link during the scan is not followed.
//
// Bounds: at most `Limits::listings` listings, or `Limits::bytes` of
// records and subdirectory names, wait ahead of the walk; a subdirectory
// costs only its name until it is started; at most `descriptors` handles
// are open at once over all threads. With no workers the walk's own thread
// lists everything, one directory at a time.
//
// Threads: workers only list; they never print and share nothing with the
// walk but this object's state, which one mutex guards; a listing in
// progress belongs to its lister until it is published as done.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace oskra {

// How many threads list besides the walk's own: none on a rotating disk,
// where parallel reads cost seeks; otherwise more than there are cores, since
// a cold listing mostly waits on storage; never more than the descriptor
// budget can keep busy.
unsigned listing_workers(unsigned hardware_threads, bool rotating, std::size_t descriptors);

// `Reader` opens and reads directories (platform::DirectoryReader, or a
// test's fake): a `Handle` type, open_root, open (relative to a handle) and
// read; each thread has a reader of its own.
template <class Reader>
class PrefetchingSource final : public platform::DirectorySource {
 public:
  using Handle = typename Reader::Handle;
  using ListStatus = platform::ListStatus;
  using NativeString = platform::NativeString;
  using NativeStringView = platform::NativeStringView;
  using OpenStatus = platform::OpenStatus;

  // Bytes are what bound memory; the count only keeps the bookkeeping of a
  // tree of tiny folders small. Listings finish out of the walk's order,
  // and while the walk waits for a large one the others run far ahead: a
  // bound that stops the workers then leaves cores idle (1024 listings
  // did, 16384 rarely does, on a tree of 33,000 folders).
  struct Limits {
    std::size_t listings = 16384;
    std::size_t bytes = 4u << 20;
  };

  PrefetchingSource(unsigned workers, std::size_t descriptors, Limits limits = {})
      : limits_(limits),
        // Each lister may hold two handles while it opens and reads; the
        // rest may stay open for children still to be listed.
        keep_limit_(descriptors > 2 * (workers + 1) ? descriptors - 2 * (workers + 1) : 0) {
    threads_.reserve(workers);
    try {
      for (unsigned i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
      // No room for another thread (its stack, under a memory limit): the
      // ones there are, or the walk's own, list everything.
    }
  }

  PrefetchingSource(const PrefetchingSource&) = delete;
  PrefetchingSource& operator=(const PrefetchingSource&) = delete;

  ~PrefetchingSource() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wanted_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

  ListStatus list(NativeStringView dir, platform::RecordList& out) override {
    std::unique_lock<std::mutex> lock(mutex_);
    Slot* slot = next_expected(dir);
    if (slot == nullptr) {
      // The root (or, never from the walk, a directory out of order):
      // opened by its whole path.
      orphans_.push_back(std::make_unique<Slot>());
      slot = orphans_.back().get();
      slot->rel.assign(dir);
    }
    if (slot->state == State::running) {
      awaited_ = slot;
      done_.wait(lock, [&] { return slot->state != State::running; });
      awaited_ = nullptr;
    }
    std::size_t wake = 0;
    if (slot->state == State::pending) {
      // No worker has started it: the walk lists it itself.
      const Pending mine{slot->parent, slot->index};
      const auto it = std::find(pending_.rbegin(), pending_.rend(), mine);
      if (it != pending_.rend()) pending_.erase(std::next(it).base());
      slot->state = State::running;
      lock.unlock();
      list_one(*slot, own_reader_);
      lock.lock();
      finish(*slot, /*ahead=*/false);
      wake = idle_wanted();
    } else {
      ahead_count_ -= 1;
      ahead_bytes_ -= slot->held;
    }
    // Workers stopped by a full queue start again only once it is half
    // empty, so they list in runs instead of waking once per listing.
    if (full_ && ahead_count_ + running_ <= limits_.listings / 2 &&
        ahead_bytes_ <= limits_.bytes / 2) {
      full_ = false;
      wake = idle_wanted();
    }
    out = std::move(slot->records);
    const ListStatus status = slot->status;
    // Its subdirectories are what the walk asks for next, in order.
    walk_.push_back(Level{slot, 0});
    lock.unlock();
    wake_workers(wake);
    return status;
  }

 private:
  enum class State { pending, running, done };

  // An open directory kept for its children; counted while it lives.
  struct Base {
    Handle handle;
    std::atomic<std::size_t>* kept;
    Base(Handle h, std::atomic<std::size_t>* k) : handle(std::move(h)), kept(k) {}
    Base(const Base&) = delete;
    Base& operator=(const Base&) = delete;
    ~Base() { kept->fetch_sub(1); }
  };

  struct Slot;

  // The subdirectories a listing named, in listing order. A subdirectory's
  // slot is made only when it is listed or the walk reaches it: a folder
  // with a million subfolders costs their names, not a million slots.
  struct Subdirs {
    NativeString names;                       // one after another
    std::vector<std::size_t> ends;            // where each name ends in `names`
    std::vector<std::unique_ptr<Slot>> made;  // each one's slot, once made
    std::size_t made_count = 0;
    std::shared_ptr<const Base> base;  // what they open from, until all are made
    NativeString prefix;               // the start of their path below `base`

    std::size_t count() const { return ends.size(); }
    NativeStringView name(std::size_t i) const {
      const std::size_t start = i == 0 ? 0 : ends[i - 1];
      return NativeStringView(names).substr(start, ends[i] - start);
    }
    std::size_t footprint() const {
      return names.capacity() * sizeof(platform::NativeChar) +
             ends.capacity() * sizeof(std::size_t) +
             made.capacity() * sizeof(std::unique_ptr<Slot>) +
             prefix.capacity() * sizeof(platform::NativeChar);
    }
  };

  struct Slot {
    NativeString rel;                  // below `base`; the whole path when there is none
    std::shared_ptr<const Base> base;  // where it is opened from
    State state = State::pending;
    platform::RecordList records;
    std::size_t held = 0;  // bytes counted against Limits::bytes while it waits
    ListStatus status = ListStatus::ok;
    Subdirs subdirs;
    // Where it is in the tree of slots, for the walk's order. A slot lives
    // until the walk is through with everything below it, and so does its
    // parent (and every ancestor).
    Slot* parent = nullptr;
    std::size_t index = 0;  // among its parent's subdirectories
    std::size_t depth = 0;
  };

  // A subdirectory named by a finished listing, not yet started.
  struct Pending {
    Slot* parent;
    std::size_t index;
    bool operator==(const Pending&) const = default;
  };

  // A place in the walk's order: a slot's, or a pending subdirectory's
  // (`self` null). Moving up gives its parent's place.
  struct Place {
    const Slot* parent;
    std::size_t index;
    std::size_t depth;
    const Slot* self;
    static Place of(const Slot* s) { return {s->parent, s->index, s->depth, s}; }
    static Place of(const Pending& p) { return {p.parent, p.index, p.parent->depth + 1, nullptr}; }
    Place up() const { return of(parent); }
    bool operator==(const Place& o) const {
      return parent == o.parent && (parent != nullptr ? index == o.index : self == o.self);
    }
  };

  // A listing the walk took, and how many of its subdirectories it has
  // asked for since.
  struct Level {
    Slot* slot;
    std::size_t next;
  };

  // Under the lock: the slot of the directory the walk asks for now, or
  // null when it is not the next subdirectory in depth-first order.
  Slot* next_expected(NativeStringView dir) {
    while (!lost_ && !walk_.empty()) {
      Level& level = walk_.back();
      Subdirs& subdirs = level.slot->subdirs;
      if (level.next < subdirs.count()) {
        const std::size_t i = level.next++;
        // The walk names it by its whole path: the last component must be
        // the name this listing gave it.
        const NativeStringView name = subdirs.name(i);
        if (dir.size() > name.size() && dir.ends_with(name) &&
            dir[dir.size() - name.size() - 1] == platform::SEPARATOR) {
          if (Slot* slot = subdirs.made[i].get()) return slot;
          Slot* slot = make(*level.slot, i);
          name_slot(*slot);
          return slot;
        }
        // Out of order: from now on every directory is opened by its whole
        // path, and no slot is freed, since workers may still hold one.
        lost_ = true;
        return nullptr;
      }
      // The walk is through with it and everything below it: free its slot
      // and its subdirectories' names (the root's slot stays, its names go).
      Slot* done = level.slot;
      walk_.pop_back();
      if (done->parent != nullptr) {
        done->parent->subdirs.made[done->index].reset();
      } else {
        done->subdirs = Subdirs();
      }
    }
    return nullptr;
  }

  // Whether the walk asks for `a` before `b` (depth-first, subdirectories
  // in listing order). Slots of different roots (the lost case) are ordered
  // by address, which is all a consistent order needs.
  static bool before(Place a, Place b) {
    if (a == b) return false;
    while (a.depth > b.depth) {
      a = a.up();
      if (a == b) return false;  // `b` is an ancestor of `a`
    }
    while (b.depth > a.depth) {
      b = b.up();
      if (b == a) return true;
    }
    while (a.parent != b.parent) {
      a = a.up();
      b = b.up();
    }
    return a.parent == nullptr ? std::less<const Slot*>()(a.self, b.self) : a.index < b.index;
  }

  // Under the lock: the slot of subdirectory `i` of `parent`, pending, its
  // path still to be set by `name_slot`.
  Slot* make(Slot& parent, std::size_t i) {
    Subdirs& subdirs = parent.subdirs;
    auto child = std::make_unique<Slot>();
    child->base = subdirs.base;
    child->parent = &parent;
    child->index = i;
    child->depth = parent.depth + 1;
    Slot* made = child.get();
    subdirs.made[i] = std::move(child);
    // Once every one is made, only they hold the handle they open from.
    if (++subdirs.made_count == subdirs.count()) subdirs.base.reset();
    return made;
  }

  // Sets a made slot's path below its base; with or without the lock, as
  // the parent's names and prefix do not change once published.
  static void name_slot(Slot& slot) {
    const Subdirs& subdirs = slot.parent->subdirs;
    const NativeStringView name = subdirs.name(slot.index);
    slot.rel.reserve(subdirs.prefix.size() + name.size());
    slot.rel.assign(subdirs.prefix);
    slot.rel.append(name);
  }

  // Opens and reads one directory; no lock held.
  void list_one(Slot& slot, Reader& reader) {
    Handle handle;
    OpenStatus opened = OpenStatus::failed;
    // Out of descriptors: the other listers hold theirs only briefly; keep
    // no more for children, and try again for a while.
    for (int attempt = 0; attempt < 2000; ++attempt) {
      opened = slot.base ? reader.open(slot.base->handle, slot.rel, handle)
                         : reader.open_root(slot.rel, handle);
      if (opened != OpenStatus::exhausted) break;
      keep_limit_.store(0);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (opened != OpenStatus::ok) {
      slot.status = ListStatus::open_failed;
      slot.base.reset();
      return;
    }
    slot.status = reader.read(handle, slot.records);
    bool has_subdirs = false;
    for (std::size_t i = 0; i < slot.records.size() && !has_subdirs; ++i) {
      has_subdirs = slot.records[i].kind == platform::EntryKind::directory;
    }
    if (!has_subdirs) {
      slot.base.reset();
      return;
    }
    // Keep this handle for the children if the budget allows (the root's
    // always); else they open from the same ancestor as this directory, a
    // few components further down.
    std::shared_ptr<const Base> base;
    NativeString prefix;
    bool keep = true;
    if (!slot.base) {
      kept_.fetch_add(1);
    } else if (kept_.fetch_add(1) >= keep_limit_.load()) {
      kept_.fetch_sub(1);
      keep = false;
    }
    if (keep) {
      base = std::make_shared<const Base>(std::move(handle), &kept_);
    } else {
      base = std::move(slot.base);
      prefix = slot.rel;
      prefix.push_back(platform::SEPARATOR);
    }
    slot.base.reset();
    // Its subdirectories' names, gathered here rather than under the lock:
    // nothing reads them before the listing is published as done.
    Subdirs& subdirs = slot.subdirs;
    for (std::size_t i = 0; i < slot.records.size(); ++i) {
      const platform::DirRecord& r = slot.records[i];
      if (r.kind != platform::EntryKind::directory) continue;
      subdirs.names.append(slot.records.name(r));
      subdirs.ends.push_back(subdirs.names.size());
    }
    subdirs.made.resize(subdirs.count());
    subdirs.base = std::move(base);
    subdirs.prefix = std::move(prefix);
  }

  // Under the lock: marks a listing done and names its subdirectories. The
  // pending stack stays in the walk's order, its next on top: listings
  // finish out of order, and children pushed on top of the stack would bury
  // directories the walk needs sooner, which it would then list itself while
  // the workers fill the queue with listings it needs only later. Whoever
  // waits for it is woken by the caller once the lock is let go: a thread
  // woken while it is held would only wait for it again.
  void finish(Slot& slot, bool ahead) {
    slot.state = State::done;
    if (ahead) {
      ahead_count_ += 1;
      // Its records, and the names of its subdirectories.
      slot.held = slot.records.footprint() + slot.subdirs.footprint();
      ahead_bytes_ += slot.held;
    }
    const std::size_t count = slot.subdirs.count();
    const Place place = Place::of(&slot);
    const auto at = std::partition_point(pending_.begin(), pending_.end(), [&](const Pending& p) {
      return !before(Place::of(p), place);
    });
    const auto first = pending_.insert(at, count, Pending{&slot, 0});
    for (std::size_t i = 0; i < count; ++i) {
      first[static_cast<std::ptrdiff_t>(i)].index = count - 1 - i;  // its first on top
    }
    if (!room()) full_ = true;
  }

  // Under the lock: how many idle workers there is work for.
  std::size_t idle_wanted() const { return full_ ? 0 : std::min(pending_.size(), idle_); }

  // Without the lock: wakes `count` idle workers.
  void wake_workers(std::size_t count) {
    if (count >= threads_.size()) {
      wanted_.notify_all();
    } else {
      for (std::size_t i = 0; i < count; ++i) wanted_.notify_one();
    }
  }

  // Without the lock: what a worker owes once it lets go of it.
  void wake_up(bool& walk, std::size_t& workers) {
    if (walk) done_.notify_one();
    wake_workers(workers);
    walk = false;
    workers = 0;
  }

  bool room() const {
    return ahead_count_ + running_ < limits_.listings && ahead_bytes_ < limits_.bytes;
  }

  // Under the lock: whether a worker may take a pending listing now.
  bool ready() {
    if (!full_ && !room()) full_ = true;
    return !full_ && !pending_.empty();
  }

  Slot* take() {
    const Pending next = pending_.back();
    pending_.pop_back();
    Slot* slot = make(*next.parent, next.index);
    slot->state = State::running;
    ++running_;
    return slot;
  }

  void work() {
    Reader reader;
    std::unique_lock<std::mutex> lock(mutex_);
    Slot* slot = nullptr;
    bool wake_walk = false;
    std::size_t wake = 0;
    while (true) {
      if (slot == nullptr) {
        if (wake_walk || wake != 0) {
          lock.unlock();
          wake_up(wake_walk, wake);
          lock.lock();
        }
        while (!stop_ && !ready()) {
          ++idle_;
          wanted_.wait(lock);
          --idle_;
        }
        if (stop_) return;
        slot = take();
      }
      lock.unlock();
      wake_up(wake_walk, wake);
      name_slot(*slot);
      list_one(*slot, reader);
      lock.lock();
      --running_;
      finish(*slot, /*ahead=*/true);
      wake_walk = slot == awaited_;
      // The next listing, taken in the same turn of the lock.
      slot = !stop_ && ready() ? take() : nullptr;
      wake = idle_wanted();
    }
  }

  const Limits limits_;
  std::atomic<std::size_t> keep_limit_;
  std::atomic<std::size_t> kept_{0};
  Reader own_reader_;  // the walk's thread lists with this one

  std::mutex mutex_;
  std::condition_variable done_;    // a listing finished
  std::condition_variable wanted_;  // work or room for it, or the end
  bool stop_ = false;
  bool lost_ = false;
  const Slot* awaited_ = nullptr;               // the listing the walk waits for
  bool full_ = false;                           // workers wait for the queue to half empty
  std::vector<std::unique_ptr<Slot>> orphans_;  // the root: owns the whole tree of slots
  std::vector<Level> walk_;                     // where the walk is
  std::vector<Pending> pending_;                // not yet started; the next to list on top
  std::size_t running_ = 0;
  std::size_t idle_ = 0;         // workers waiting for work
  std::size_t ahead_count_ = 0;  // finished by a worker, not yet taken by the walk
  std::size_t ahead_bytes_ = 0;
  std::vector<std::thread> threads_;
};

}  // namespace oskra
