// The ordered stream of listings the walk consumes, and the engine that
// produces it from the file system on worker threads.
//
// The contract (`ListingStream`). Listings come in depth-first order: the
// root's first; after each listing, the listings of its records of kind
// `directory`, in record order, each followed by everything below it. The
// walk takes them one after the other and never names a directory: which
// listing comes next follows from the records it already has. Any producer
// of the same order will do (the directory reader here; records already in
// memory elsewhere).
//
// The engine (`OrderedListing`). It lists the directories the walk will
// take next on worker threads, as soon as their parent's listing names
// them, and hands each finished listing over in the stream's order. What the
// walk sees is exactly what a one-thread listing gives: the same records, in
// the same order, with the same failures. With no workers it is the same
// engine, the walk's own thread listing each directory when it is due.
//
// The pieces, each below with what it owns:
//   Slot         one directory from the moment it is started to the moment
//                the stream has moved past everything below it;
//   Frontier     what is left to start, in the stream's order: that order as
//                a list, so no two directories are ever compared;
//   HandleBudget the open handles: how many, which are kept for children
//                still to open, which are given up first when none are left;
//   AheadBound   the listings finished before the walk takes them;
//   Cursor       where the stream has got to, and the slots it is through with;
//   OrderedListing  the workers and the walk's calls, over the above.
//
// Threads. One mutex in OrderedListing guards every piece (all their
// members are read and written under it) but two counts of HandleBudget,
// atomics because they change outside it: the kept handles alive (one closes
// when whichever thread holds it last lets go) and their limit (lowered and
// raised by a lister around each open). A listing in progress belongs to its
// lister (a worker, or the walk listing a directory itself) until it is
// published as done; from then on to the walk.
//
// Opening. A directory is opened relative to its parent's open handle,
// never by its whole path again, so a folder swapped for a link during the
// scan is not followed. A parent's handle is kept while subdirectories of
// it are left to start. When the budget allows no more, the shallowest kept
// handle is given up (it is needed last); it is had again through a child's
// handle ("..") when that child's is let go (one open), or else by opening
// down from the nearest ancestor still held.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/records.h"
#include "walk/level_by_level.h"

namespace oskra {

// One directory's listing, as the stream yields it.
struct Listing {
  std::size_t depth = 0;  // 0 for the root
  // Its name below its parent; the root's whole path. Valid until the
  // stream is asked for the next listing.
  platform::NativeStringView name;
  platform::RecordList records;
  platform::ListStatus status = platform::ListStatus::ok;
};

// The listings of one tree, in the order stated at the top of this file.
class ListingStream {
 public:
  virtual ~ListingStream() = default;
  // The next listing; false once every listing has been yielded (the root's
  // always is, even when it cannot be opened).
  virtual bool next(Listing& out) = 0;
};

// How many threads list besides the walk's own: none on a rotating disk,
// where parallel reads cost seeks, nor under a small limit on address space
// (`address_space` bytes), where the listings ahead and the workers' stacks
// and buffers would take what the walk needs; otherwise more than there are
// cores, since a cold listing mostly waits on storage; never more than the
// descriptor budget can keep busy.
unsigned listing_workers(unsigned hardware_threads, bool rotating, std::size_t descriptors,
                         std::uint64_t address_space);

namespace listing {

using platform::DirIdentity;
using platform::ListStatus;
using platform::NativeString;
using platform::NativeStringView;
using platform::RecordList;

// Bytes are what bound memory; the count keeps the bookkeeping of a tree of
// tiny folders small. Listings finish out of the walk's order, and while the
// walk waits for a large one the others run far ahead: a bound that stops
// the workers then leaves cores idle (1024 listings did, 16384 rarely does,
// on a tree of 33,000 folders).
struct Limits {
  std::size_t listings = 16384;
  std::size_t bytes = 4u << 20;
};

// An open handle kept for the children of its directory, its type known
// only to the lister that made it. Closed when the last owner lets go.
using KeptHandle = std::shared_ptr<const void>;

struct Slot;

// The subdirectories a listing named, in listing order. They are started
// in that order, so those started are the first `started`. A subdirectory
// costs its name until it is started, then its slot until the walk is
// through with it.
struct Subdirs {
  NativeString names;                       // one after another
  std::vector<std::size_t> ends;            // where each name ends in `names`
  std::vector<std::unique_ptr<Slot>> made;  // the slot of each started one, until freed
  std::size_t started = 0;

  std::size_t count() const { return ends.size(); }
  bool left() const { return started < count(); }
  NativeStringView name(std::size_t i) const;
  std::size_t footprint() const;
};

// One directory, made when a worker or the walk starts listing it and freed
// when the walk is through with it and everything below it; its ancestors
// live at least as long.
struct Slot {
  static constexpr std::size_t NOT_KEPT = static_cast<std::size_t>(-1);

  Slot* parent = nullptr;
  std::size_t index = 0;  // among its parent's subdirectories
  std::size_t depth = 0;
  NativeStringView name;  // below its parent (in its names); a root's whole path

  // Its listing, from its lister to the walk.
  bool done = false;
  ListStatus status = ListStatus::ok;
  RecordList records;
  std::size_t held = 0;  // bytes counted against Limits::bytes while it waits
  Subdirs subdirs;

  // Its own handle, kept while subdirectories are left to start; who it
  // was, once given up with some left.
  KeptHandle handle;
  std::optional<DirIdentity> identity;
  std::size_t kept_at = NOT_KEPT;  // its place among the kept handles

  // Its place in the frontier.
  Slot* prev = nullptr;
  Slot* next = nullptr;
  bool queued = false;

  // What it holds besides the walk's own, for the bound ahead.
  std::size_t footprint() const { return sizeof(Slot) + records.footprint() + subdirs.footprint(); }
};

// What is left to start, in the walk's order: running slots (their
// subdirectories will come in their place) and listed slots with
// subdirectories left to start. A started subdirectory goes just before its
// parent, since it and everything below it come before the parent's next.
// Work is taken from the front, so each parent's subdirectories start in
// order and every step is constant time, however wide the folder.
class Frontier {
 public:
  // A root, running.
  void push_back(Slot& slot);
  // `child`, the next subdirectory of `parent`, is started.
  void started(Slot& child, Slot& parent);
  // `slot` is listed: it stays while it has subdirectories to start.
  void listed(Slot& slot);
  // The first slot with subdirectories left to start: the front, past the
  // few running ones (at most one per lister).
  Slot* first_with_work() const;
  // Subdirectories left to start, over all slots.
  std::size_t waiting() const { return waiting_; }

 private:
  void insert_before(Slot& slot, Slot& next);
  void remove(Slot& slot);

  Slot* head_ = nullptr;
  Slot* tail_ = nullptr;
  std::size_t waiting_ = 0;
};

// The handles open at once, over all listers, within the descriptor budget:
// each lister holds at most TRANSIENT handles of its own while it opens and
// reads; the rest may be kept for children still to open. Kept handles
// are given up shallowest first (the walk, going deep first, needs those
// last). A lister that finds none left lowers the limit to what is open and
// then raises it by one with each open that succeeds, so a passing shortage
// costs a few opens, and a lasting one a lower limit, not the rest of the
// scan.
class HandleBudget {
 public:
  static constexpr std::size_t TRANSIENT = 2;

  HandleBudget(std::size_t descriptors, unsigned listers);

  // A handle kept, counted while it is open.
  template <class Handle>
  struct Kept {
    Handle handle;
    std::atomic<std::size_t>* live;
    Kept(Handle h, std::atomic<std::size_t>* l) : handle(std::move(h)), live(l) {
      live->fetch_add(1);
    }
    Kept(const Kept&) = delete;
    Kept& operator=(const Kept&) = delete;
    // Closed first, so it is never counted out while still open.
    ~Kept() {
      handle = Handle();
      live->fetch_sub(1);
    }
  };

  // Wraps `handle` as kept, counted until the last owner lets go.
  template <class Handle>
  KeptHandle wrap(Handle handle) {
    return std::make_shared<const Kept<Handle>>(std::move(handle), &live_);
  }
  bool room() const { return live_.load() < limit_.load(); }

  void keep(Slot& slot, KeptHandle handle);
  // Takes the slot's handle out of the kept ones.
  KeptHandle release(Slot& slot);
  // The slot whose handle goes first when room is needed, or null.
  Slot* first_to_give_up() const { return kept_.empty() ? nullptr : kept_.front(); }

  // Without the lock: an open found no descriptor left; one succeeded.
  void exhausted();
  void opened();

 private:
  void sift_up(std::size_t at);
  void sift_down(std::size_t at);
  void place(std::size_t at, Slot* slot);

  const std::size_t most_;
  std::atomic<std::size_t> limit_;
  std::atomic<std::size_t> live_{0};
  std::vector<Slot*> kept_;  // a heap, shallowest on top
};

// Listings finished by a worker and not yet taken by the walk, and those in
// progress. Workers stop when either bound is reached and start again once
// both are half empty, so they list in runs instead of waking once per
// listing.
class AheadBound {
 public:
  explicit AheadBound(Limits limits) : limits_(limits) {}
  void started();
  // Counts `slot` as waiting for the walk when a worker listed it.
  void finished(Slot& slot, bool ahead);
  // The walk takes `slot`'s listing.
  void taken(Slot& slot);
  // Whether workers may start another listing now.
  bool may_start() const { return !full_; }
  std::size_t peak_bytes() const { return peak_bytes_; }

 private:
  bool room() const;
  // Full at either bound; open again once both are half empty.
  void update();

  Limits limits_;
  std::size_t running_ = 0;
  std::size_t count_ = 0;
  std::size_t bytes_ = 0;
  std::size_t peak_bytes_ = 0;
  bool full_ = false;
};

// Where the stream has got to: the listings it has yielded that have
// subdirectories still to come, each with how many of them have come since.
class Cursor {
 public:
  // The slot of the next listing: subdirectory `index` of `parent` (its
  // slot, if made, in `parent->subdirs.made[index]`); no parent once the
  // stream is through. Slots it has moved past are freed on the way.
  struct Next {
    Slot* parent = nullptr;
    std::size_t index = 0;
  };
  Next next();
  void yielded(Slot& slot) { levels_.push_back(Level{&slot, 0}); }

 private:
  struct Level {
    Slot* slot;
    std::size_t next;
  };
  std::vector<Level> levels_;
};

// Collects the names of the subdirectories in `slot.records`.
void gather_subdirs(Slot& slot);
// Makes the slot of the next subdirectory of `parent` to start.
Slot& make_next_child(Slot& parent);
// The ancestors to open, top first, to reach `parent` again from the
// nearest one whose handle is held (copied to `from`; none: the root's
// path), `parent` last.
std::vector<Slot*> path_from_held(Slot& parent, KeptHandle& from);
}  // namespace listing

// `Reader` opens and reads directories (platform::DirectoryReader, or a
// test's fake): a `Handle` type and open_root, open (relative to a handle),
// read, identify, open_parent and reserve; each thread has a reader of its
// own, made by `make_reader`.
template <class Reader>
class OrderedListing final : public ListingStream {
 public:
  using Handle = typename Reader::Handle;
  using Limits = listing::Limits;
  using MakeReader = std::function<Reader()>;

  // The listings of the tree at `root` (its exact native path), read by the
  // walk's thread and `workers` more, with at most `descriptors` handles
  // open at once.
  OrderedListing(platform::NativeStringView root, unsigned workers, std::size_t descriptors,
                 Limits limits = {}, MakeReader make_reader = [] { return Reader(); })
      : root_path_(root),
        make_reader_(std::move(make_reader)),
        budget_(descriptors, workers + 1),
        ahead_(limits),
        own_reader_(make_reader_()) {
    threads_.reserve(workers);
    try {
      for (unsigned i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
      // No room for another thread (its stack, under a memory limit): the
      // ones there are, or the walk's own, list everything.
    }
  }
  OrderedListing(const OrderedListing&) = delete;
  OrderedListing& operator=(const OrderedListing&) = delete;
  ~OrderedListing() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wanted_.notify_all();
    for (std::thread& t : threads_) t.join();
    free_slots(std::move(root_));
  }

  bool next(Listing& out) override;

  // The most bytes that waited ahead of the walk at any one time.
  std::size_t peak_bytes_ahead() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ahead_.peak_bytes();
  }

 private:
  using Slot = listing::Slot;
  using KeptHandle = listing::KeptHandle;
  using NativeString = platform::NativeString;

  // What a lister needs to list a started slot: where to open it from.
  struct Job {
    Slot* slot = nullptr;
    KeptHandle from;           // the handle to open from; none: the root's path
    std::vector<Slot*> below;  // ancestors to open on the way, top first
  };

  static const Handle& handle_of(const KeptHandle& kept) {
    return static_cast<const listing::HandleBudget::Kept<Handle>*>(kept.get())->handle;
  }
  // Frees a tree of slots without recursing down its depth.
  static void free_slots(std::unique_ptr<Slot> root) {
    std::vector<std::unique_ptr<Slot>> slots;
    if (root) slots.push_back(std::move(root));
    free_level_by_level(std::move(slots), [](std::unique_ptr<Slot>& slot, auto& pending) {
      for (std::unique_ptr<Slot>& child : slot->subdirs.made) {
        if (child) pending.push_back(std::move(child));
      }
    });
  }

  Slot* due(std::unique_lock<std::mutex>& lock);
  Slot& list_here(Job job, std::unique_lock<std::mutex>& lock);
  Job start(Slot& parent, Reader& reader);
  void list_one(Job& job, Reader& reader);
  template <class Open>
  platform::OpenStatus open_retrying(Reader& reader, Open open);
  bool offer(Slot& slot, Handle& handle, Reader& reader);
  KeptHandle give_up(Slot& slot, Reader& reader);
  void finish(Slot& slot, bool ahead);
  std::size_t idle_wanted() const;
  void wake_workers(std::size_t count);
  void work();

  const NativeString root_path_;
  const MakeReader make_reader_;
  std::mutex mutex_;
  std::condition_variable done_;    // the listing the walk waits for is done
  std::condition_variable wanted_;  // work or room for it, or the end
  bool stop_ = false;
  std::size_t idle_ = 0;           // workers waiting for work
  const Slot* awaited_ = nullptr;  // the listing the walk waits for
  std::unique_ptr<Slot> root_;
  listing::Frontier frontier_;
  listing::HandleBudget budget_;
  listing::AheadBound ahead_;
  listing::Cursor cursor_;
  Reader own_reader_;  // the walk's thread lists with this one
  std::vector<std::thread> threads_;
};

}  // namespace oskra

#include "walk/listing_engine.h"
