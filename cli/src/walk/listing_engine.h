// The bodies of OrderedListing, apart from its contract in listing.h.
#pragma once

namespace oskra {

template <class Reader>
bool OrderedListing<Reader>::next(Listing& out) {
  std::unique_lock<std::mutex> lock(mutex_);
  Slot* const slot = due(lock);
  if (slot == nullptr) return false;
  if (!slot->done) {
    awaited_ = slot;
    done_.wait(lock, [slot] { return slot->done; });
    awaited_ = nullptr;
  }
  ahead_.taken(*slot);
  out.depth = slot->depth;
  out.name = slot->name;
  out.records = std::move(slot->records);
  out.status = slot->status;
  // Its subdirectories are the listings that come next, in order.
  cursor_.yielded(*slot);
  const std::size_t wake = idle_wanted();
  lock.unlock();
  wake_workers(wake);
  return true;
}

// Under the lock: the slot of the next listing, started and listed here if
// no worker has started it; null once the stream is through.
template <class Reader>
listing::Slot* OrderedListing<Reader>::due(std::unique_lock<std::mutex>& lock) {
  if (!root_) {
    // The first listing is the root's, opened by its path.
    root_ = std::make_unique<Slot>();
    root_->name = root_path_;
    frontier_.push_back(*root_);
    ahead_.started();
    ++in_job_;
    return &list_here(Job{root_.get()}, lock);
  }
  const listing::Cursor::Next next = cursor_.next();
  if (next.parent == nullptr) return nullptr;
  if (next.index < next.parent->subdirs.started) return next.parent->subdirs.made[next.index].get();
  Job job = start(*next.parent);
  return &list_here(std::move(job), lock);
}

// Under the lock, let go while it lists: the walk's thread lists the job's
// slot.
template <class Reader>
listing::Slot& OrderedListing<Reader>::list_here(Job job, std::unique_lock<std::mutex>& lock) {
  Slot& slot = *job.slot;
  lock.unlock();
  list_one(job, own_reader_);
  lock.lock();
  finish(slot, /*ahead=*/false);
  return slot;
}

// Under the lock: starts the next subdirectory of `parent`.
template <class Reader>
typename OrderedListing<Reader>::Job OrderedListing<Reader>::start(Slot& parent) {
  Slot& slot = listing::make_next_child(parent);
  frontier_.started(slot, parent);
  ahead_.started();
  ++in_job_;
  Job job{&slot};
  if (!parent.handle) {
    reach_parent(job);
    return job;
  }
  if (parent.subdirs.left()) {
    job.from = parent.handle;
    return job;
  }
  // Its last subdirectory: the parent's handle goes with this job. Its own
  // parent, if given up with subdirectories left, is had again through it
  // by the job, at the cost of one open, before it closes (if there is room
  // for it beside the parent's, which is still open until then).
  job.from = budget_.release(parent);
  Slot* up = parent.parent;
  if (up != nullptr && up->queued && up->done && !up->handle && up->identity &&
      budget_.room_to_keep()) {
    job.up = up;
  }
  return job;
}

// Under the lock: where the job's slot opens from now, its parent's handle
// held or given up: the parent's, or down from the nearest ancestor held
// (the root's path, if none), each ancestor on the way to prove who it is.
template <class Reader>
void OrderedListing<Reader>::reach_parent(Job& job) {
  job.from.reset();
  job.below.clear();
  Slot* const parent = job.slot->parent;
  if (parent == nullptr) return;
  if (parent->handle) {
    job.from = parent->handle;
    return;
  }
  for (Slot* s : listing::path_from_held(*parent, job.from)) job.below.push_back({s, s->identity});
}

// Without the lock: opens the job's slot (and ancestors on the way, if its
// parent's handle was given up) and reads it.
template <class Reader>
void OrderedListing<Reader>::list_one(Job& job, Reader& reader) {
  Slot& slot = *job.slot;
  Handle handle;
  platform::OpenStatus opened = open_job(job, reader, handle);
  unsigned attempt = 0;
  for (; opened == platform::OpenStatus::exhausted; ++attempt) {
    opened = wait_for_handles(job, attempt) ? open_job(job, reader, handle)
                                            : platform::OpenStatus::failed;
  }
  if (attempt != 0) {
    // Through the shortage: other jobs may wait, and new ones start.
    {
      std::lock_guard<std::mutex> lock(mutex_);
      retrying_ = nullptr;
    }
    let_go_.notify_all();
    wanted_.notify_all();
  }
  if (opened != platform::OpenStatus::ok) {
    slot.status = platform::ListStatus::open_failed;
    return;
  }
  slot.status = reader.read(handle, slot.records);
  listing::gather_subdirs(slot);
  if (!slot.subdirs.left()) {
    climb(slot, std::move(handle), reader);
    return;
  }
  // Who it is, to prove it if it is opened again after its handle goes.
  platform::DirIdentity identity;
  const bool known = reader.identify(handle, identity);
  std::vector<KeptHandle> let_go;  // close after the lock
  std::lock_guard<std::mutex> lock(mutex_);
  if (known) slot.identity = identity;
  offer(slot, handle, let_go);
}

// Without the lock, holding the handle of `slot`, listed, with nothing below
// it left to open: the nearest ancestor that will be opened from again but
// whose handle was given up is had again now through "..", one open a level,
// if that costs no more than opening down to it from the nearest ancestor
// held. Climbing back so after each folder is what keeps a small budget
// linear in depth: a deep folder is never reached again from far above.
template <class Reader>
void OrderedListing<Reader>::climb(Slot& slot, Handle handle, Reader& reader) {
  Slot* target = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    target = climb_target(slot);
  }
  if (target == nullptr) return;
  give_up_spare();
  // Ancestors outlive the slot, which is this lister's until published, and
  // their identities are set before any of their subdirectories start.
  for (Slot* s = slot.parent;; s = s->parent) {
    if (!s->identity) return;
    Handle up;
    const platform::OpenStatus opened = reader.open_parent(handle, *s->identity, up);
    if (opened == platform::OpenStatus::exhausted) budget_.exhausted();
    if (opened != platform::OpenStatus::ok) return;
    budget_.opened();
    handle = std::move(up);
    if (s == target) break;
  }
  std::vector<KeptHandle> let_go;  // close after the lock
  std::lock_guard<std::mutex> lock(mutex_);
  offer(*target, handle, let_go);
}

// Under the lock: the ancestor `climb` would have again, or null.
template <class Reader>
listing::Slot* OrderedListing<Reader>::climb_target(const Slot& slot) const {
  Slot* target = slot.parent;
  while (target != nullptr && !target->subdirs.left()) target = target->parent;
  if (target == nullptr || target->handle || !target->identity) return nullptr;
  const std::size_t up = slot.depth - target->depth;
  // Down from the nearest ancestor held, or from the root's path.
  std::size_t down = 1;
  for (const Slot* s = target; s->parent != nullptr && !s->parent->handle && down < up;
       s = s->parent) {
    ++down;
  }
  return up <= down ? target : nullptr;
}

// Without the lock: opens the job's ancestors on the way, then its slot, into
// `out`. Whatever the outcome, the job holds no handle after it.
template <class Reader>
platform::OpenStatus OrderedListing<Reader>::open_job(Job& job, Reader& reader, Handle& out) {
  Slot& slot = *job.slot;
  KeptHandle from = std::move(job.from);
  if (job.up != nullptr) {
    // Its identity was set before its subdirectories started.
    Handle handle;
    if (from && reader.open_parent(handle_of(from), *job.up->identity, handle) ==
                    platform::OpenStatus::ok) {
      budget_.opened();
      std::vector<KeptHandle> let_go;  // close after the lock
      std::lock_guard<std::mutex> lock(mutex_);
      offer(*job.up, handle, let_go);
    }
    job.up = nullptr;
  }
  Handle on_the_way;  // an ancestor opened below `from`, not kept
  const auto open = [&](const Slot& s, Handle& opened) {
    return open_retrying([&] {
      if (s.parent == nullptr) return reader.open_root(root_path_, opened);
      return reader.open(from ? handle_of(from) : on_the_way, s.name, opened);
    });
  };
  if (!job.below.empty()) give_up_spare();
  platform::OpenStatus status = platform::OpenStatus::ok;
  for (const Step& step : job.below) {
    Handle handle;
    status = open(*step.slot, handle);
    if (status != platform::OpenStatus::ok) break;
    // Had again by its name or its path: the folder listed before, or one
    // that took its place, not to be followed.
    platform::DirIdentity found;
    if (!step.identity || !reader.identify(handle, found) || found != *step.identity) {
      status = platform::OpenStatus::failed;
      break;
    }
    std::vector<KeptHandle> let_go;  // close after the lock
    std::lock_guard<std::mutex> lock(mutex_);
    if (offer(*step.slot, handle, let_go)) {
      from = step.slot->handle;
      on_the_way = Handle();
    } else {
      from.reset();
      on_the_way = std::move(handle);
    }
  }
  job.below.clear();
  if (status == platform::OpenStatus::ok) status = open(slot, out);
  return status;
}

// Without the lock, holding no handle: waits until the job may try again to
// open, one job at a time while handles are short (and no new one starts),
// so that those waiting hold nothing it needs; false when, a few times over,
// no other lister held a handle to let go and none was kept.
template <class Reader>
bool OrderedListing<Reader>::wait_for_handles(Job& job, unsigned attempt) {
  std::unique_lock<std::mutex> lock(mutex_);
  ++short_waiting_;
  let_go_.wait(lock, [&] { return retrying_ == nullptr || retrying_ == job.slot; });
  retrying_ = job.slot;
  // No other lister holds a handle, none is kept: the shortage is not the
  // scan's own doing, and may pass; a few waits, then the folder fails.
  constexpr unsigned ALONE_WAITS = 8;  // about a tenth of a second in all
  if (in_job_ == short_waiting_ && budget_.first_to_give_up() == nullptr &&
      ++job.alone_waits > ALONE_WAITS) {
    --short_waiting_;
    return false;
  }
  // Handles close outside the lock too: look again now and then.
  let_go_.wait_for(lock, std::chrono::milliseconds(1u << std::min(attempt, 4u)));
  --short_waiting_;
  reach_parent(job);
  return true;
}

// Without the lock: `open` until it is not short of descriptors while kept
// handles can be given up, or other listers let go of theirs within a few
// brief waits (the job keeps where it opens from meanwhile); exhausted then.
template <class Reader>
template <class Open>
platform::OpenStatus OrderedListing<Reader>::open_retrying(Open open) {
  constexpr unsigned WAITS = 4;
  for (unsigned waited = 0;;) {
    const platform::OpenStatus status = open();
    if (status == platform::OpenStatus::ok) budget_.opened();
    if (status != platform::OpenStatus::exhausted) return status;
    budget_.exhausted();
    // The shallowest kept handle that no lister still opens from is given
    // up, to close now, outside the lock.
    KeptHandle given_up;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (Slot* victim = budget_.first_unshared()) given_up = budget_.release(*victim);
    }
    if (given_up != nullptr) continue;
    if (waited == WAITS) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(1u << waited++));
  }
}

// Without the lock: before a lister holds two handles of its own at once,
// the one kept in place of one of them (HandleBudget::room_to_keep) is given
// up, unless a lister opens from it now.
template <class Reader>
void OrderedListing<Reader>::give_up_spare() {
  KeptHandle given_up;  // closes after the lock
  std::lock_guard<std::mutex> lock(mutex_);
  if (!budget_.over()) return;
  if (Slot* victim = budget_.first_unshared()) given_up = budget_.release(*victim);
}

// Under the lock: keeps `handle` for the children of `slot` if they need
// it and the budget allows, giving up shallower ones (into `let_go`, to be
// closed outside the lock) if that makes room.
template <class Reader>
bool OrderedListing<Reader>::offer(Slot& slot, Handle& handle, std::vector<KeptHandle>& let_go) {
  if (!slot.queued || !slot.subdirs.left() || slot.handle) return false;
  std::size_t closing = 0;  // of those given up, the ones no lister holds too
  while (!budget_.room_to_keep(closing)) {
    Slot* victim = budget_.first_to_give_up();
    if (victim == nullptr || victim->depth >= slot.depth) break;
    let_go.push_back(budget_.release(*victim));
    if (let_go.back().use_count() == 1) ++closing;
  }
  if (!budget_.room_to_keep(closing)) return false;
  budget_.keep(slot, budget_.wrap(std::move(handle)));
  return true;
}

// Under the lock: publishes a finished listing.
template <class Reader>
void OrderedListing<Reader>::finish(Slot& slot, bool ahead) {
  slot.done = true;
  --in_job_;
  if (short_waiting_ != 0) let_go_.notify_all();
  frontier_.listed(slot);
  ahead_.finished(slot, ahead);
}

// Under the lock: how many idle workers there is work for.
template <class Reader>
std::size_t OrderedListing<Reader>::idle_wanted() const {
  return ahead_.may_start() ? std::min(idle_, frontier_.waiting()) : 0;
}

// Without the lock.
template <class Reader>
void OrderedListing<Reader>::wake_workers(std::size_t count) {
  if (count >= threads_.size()) {
    wanted_.notify_all();
  } else {
    for (std::size_t i = 0; i < count; ++i) wanted_.notify_one();
  }
}

template <class Reader>
void OrderedListing<Reader>::work() {
  Reader reader = make_reader_();
  // No memory for its buffer: the others, or the walk, list everything.
  if (!reader.reserve()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  bool wake_walk = false;  // owed once the lock is let go
  std::size_t wake = 0;
  while (true) {
    Slot* parent = nullptr;
    while (!stop_ &&
           (parent = ahead_.may_start() && retrying_ == nullptr ? frontier_.first_with_work()
                                                                : nullptr) == nullptr) {
      if (wake_walk || wake != 0) {
        lock.unlock();
        if (wake_walk) done_.notify_one();
        wake_workers(wake);
        wake_walk = false;
        wake = 0;
        lock.lock();
        continue;
      }
      ++idle_;
      wanted_.wait(lock);
      --idle_;
    }
    if (stop_) return;
    Job job = start(*parent);
    wake += idle_wanted();
    lock.unlock();
    if (wake_walk) done_.notify_one();
    wake_workers(wake);
    wake_walk = false;
    wake = 0;
    list_one(job, reader);
    lock.lock();
    finish(*job.slot, /*ahead=*/true);
    wake_walk = job.slot == awaited_;
  }
}

}  // namespace oskra
