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
// The pieces (listing_pieces.h), each with what it owns:
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
// handle is given up (it is needed last); it is had again through ".." from
// below, one open a level: when its last child's handle is let go, or by a
// lister that has just listed a folder with nothing left below it, climbing
// to the nearest ancestor that still needs its handle; or else, where that
// is cheaper, by opening down from the nearest ancestor still held (the root
// by its path). A lone lister may keep one handle in place of one of its
// own two between listings, so two descriptors are enough for a walk linear
// in depth. A folder had again must prove to be the one listed (its
// identity), or it counts as denied. Handles short never mean denied: a lister that finds none gives up
// what it holds and waits for other listers to let go of theirs, unless
// none holds any.
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
#include "walk/listing_pieces.h"

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
  OrderedListing(
      platform::NativeStringView root, unsigned workers, std::size_t descriptors,
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

  // An ancestor to open again on the way, and who it must prove to be.
  struct Step {
    Slot* slot;
    std::optional<platform::DirIdentity> identity;
  };
  // What a lister needs to list a started slot: where to open it from.
  struct Job {
    Slot* slot = nullptr;
    KeptHandle from{};          // the handle to open from; none: the root's path
    std::vector<Step> below{};  // ancestors to open on the way, top first
    Slot* up = nullptr;         // the parent's parent, to have again through `from`
    unsigned alone_waits = 0;   // for handles none of the listers held
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
  Job start(Slot& parent);
  void reach_parent(Job& job);
  void list_one(Job& job, Reader& reader);
  void climb(Slot& slot, Handle handle, Reader& reader);
  Slot* climb_target(const Slot& slot) const;
  platform::OpenStatus open_job(Job& job, Reader& reader, Handle& out);
  bool wait_for_handles(Job& job, unsigned attempt);
  template <class Open>
  platform::OpenStatus open_retrying(Open open);
  void give_up_spare();
  bool offer(Slot& slot, Handle& handle, std::vector<KeptHandle>& let_go);
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
  // Short of handles: listers with a job, those of them waiting for handles
  // (holding none), and the one job that may retry meanwhile, so that the
  // waiting never hold what it needs.
  std::condition_variable let_go_;
  std::size_t in_job_ = 0;
  std::size_t short_waiting_ = 0;
  const Slot* retrying_ = nullptr;
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
