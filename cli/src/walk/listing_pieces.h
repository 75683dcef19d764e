// The pieces of the listing engine (listing.h), each with what it owns and
// how the engine uses it; every member is read and written under the
// engine's one mutex but the two atomic counts of HandleBudget.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/records.h"

namespace oskra {
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
// on a tree of 33,000 folders). 3 MiB ahead, beside the largest folder's
// listing that the walk holds, keeps a default run of 3,000,000 files
// within 16 MiB; 4 MiB went past it.
struct Limits {
  std::size_t listings = 16384;
  std::size_t bytes = 3u << 20;
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
  // Room for one more, once `closing` kept handles given up have closed.
  bool room(std::size_t closing = 0) const { return live_.load() - closing < limit_.load(); }
  // The same for a handle to keep: a lone lister may keep one more, in
  // place of one of its own two while it is between listings, so that even
  // a budget of two handles keeps the folder it will open from next.
  bool room_to_keep(std::size_t closing = 0) const {
    return live_.load() - closing < limit_.load() + spare_;
  }
  // More kept than the limit: the spare is in use.
  bool over() const { return live_.load() > limit_.load(); }

  void keep(Slot& slot, KeptHandle handle);
  // Takes the slot's handle out of the kept ones.
  KeptHandle release(Slot& slot);
  // The slot whose handle goes first when room is needed, or null.
  Slot* first_to_give_up() const { return kept_.empty() ? nullptr : kept_.front(); }
  // The shallowest slot whose handle no lister holds too (it closes when
  // given up), or null. Handles are shared only under the lock.
  Slot* first_unshared() const;

  // Without the lock: an open found no descriptor left; one succeeded.
  void exhausted();
  void opened();

 private:
  void sift_up(std::size_t at);
  void sift_down(std::size_t at);
  void place(std::size_t at, Slot* slot);

  const std::size_t most_;
  const std::size_t spare_;
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

}  // namespace oskra
