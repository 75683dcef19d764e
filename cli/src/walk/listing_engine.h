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
    return &list_here(Job{root_.get(), {}, {}}, lock);
  }
  const listing::Cursor::Next next = cursor_.next();
  if (next.parent == nullptr) return nullptr;
  if (next.index < next.parent->subdirs.started) return next.parent->subdirs.made[next.index].get();
  Job job = start(*next.parent, own_reader_);
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
typename OrderedListing<Reader>::Job OrderedListing<Reader>::start(Slot& parent, Reader& reader) {
  Slot& slot = listing::make_next_child(parent);
  frontier_.started(slot, parent);
  ahead_.started();
  Job job{&slot, {}, {}};
  if (!parent.handle) {
    // Given up: open down from the nearest ancestor still held.
    job.below = listing::path_from_held(parent, job.from);
    return job;
  }
  if (parent.subdirs.left()) {
    job.from = parent.handle;
    return job;
  }
  // Its last subdirectory: the parent's handle goes with this job. Its own
  // parent, if given up with subdirectories left, is had again through it
  // now, at the cost of one open, before it closes; the new handle takes its
  // place among the kept ones, over the limit only until this job's open
  // is done (till then it is one of this lister's own two).
  job.from = budget_.release(parent);
  Slot* up = parent.parent;
  if (up != nullptr && up->queued && up->done && !up->handle && up->identity) {
    Handle handle;
    if (reader.open_parent(handle_of(job.from), *up->identity, handle) ==
        platform::OpenStatus::ok) {
      budget_.keep(*up, budget_.wrap(std::move(handle)));
      up->identity.reset();
    }
  }
  return job;
}

// Without the lock: opens the job's slot (and ancestors on the way, if its
// parent's handle was given up) and reads it.
template <class Reader>
void OrderedListing<Reader>::list_one(Job& job, Reader& reader) {
  Slot& slot = *job.slot;
  KeptHandle from = std::move(job.from);
  Handle on_the_way;  // an ancestor opened below `from`, not kept
  const auto open = [&](const Slot& s, Handle& out) {
    return open_retrying(reader, [&] {
      if (s.parent == nullptr) return reader.open_root(root_path_, out);
      return reader.open(from ? handle_of(from) : on_the_way, s.name, out);
    });
  };
  platform::OpenStatus opened = platform::OpenStatus::ok;
  for (Slot* ancestor : job.below) {
    Handle handle;
    opened = open(*ancestor, handle);
    if (opened != platform::OpenStatus::ok) break;
    std::lock_guard<std::mutex> lock(mutex_);
    if (offer(*ancestor, handle, reader)) {
      from = ancestor->handle;
      on_the_way = Handle();
    } else {
      from.reset();
      on_the_way = std::move(handle);
    }
  }
  Handle handle;
  if (opened == platform::OpenStatus::ok) opened = open(slot, handle);
  from.reset();
  on_the_way = Handle();
  if (opened != platform::OpenStatus::ok) {
    slot.status = platform::ListStatus::open_failed;
    return;
  }
  slot.status = reader.read(handle, slot.records);
  listing::gather_subdirs(slot);
  if (!slot.subdirs.left()) return;  // its handle closes here, outside the lock
  std::lock_guard<std::mutex> lock(mutex_);
  offer(slot, handle, reader);
}

// Without the lock: `open` until it is not short of descriptors. Each
// shortage gives up a kept handle; with none to give up, other listers hold
// the rest briefly, so it waits a little, and only a few times.
template <class Reader>
template <class Open>
platform::OpenStatus OrderedListing<Reader>::open_retrying(Reader& reader, Open open) {
  constexpr int WAITS = 8;  // about a tenth of a second in all
  for (int waited = 0;;) {
    const platform::OpenStatus status = open();
    if (status == platform::OpenStatus::ok) budget_.opened();
    if (status != platform::OpenStatus::exhausted) return status;
    budget_.exhausted();
    KeptHandle given_up;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (Slot* victim = budget_.first_to_give_up()) given_up = give_up(*victim, reader);
    }
    // It closes now, unless another lister still opens from it.
    const bool freed = given_up != nullptr && given_up.use_count() == 1;
    given_up.reset();
    if (freed) continue;
    if (waited == WAITS) return platform::OpenStatus::failed;
    std::this_thread::sleep_for(std::chrono::milliseconds(1 << std::min(waited++, 5)));
  }
}

// Under the lock: keeps `handle` for the children of `slot` if they need
// it and the budget allows, giving up a shallower one if that makes room.
// What is not kept is remembered by its identity, to be had again.
template <class Reader>
bool OrderedListing<Reader>::offer(Slot& slot, Handle& handle, Reader& reader) {
  if (!slot.queued || !slot.subdirs.left() || slot.handle) return false;
  while (!budget_.room()) {
    Slot* victim = budget_.first_to_give_up();
    if (victim == nullptr || victim->depth >= slot.depth) break;
    give_up(*victim, reader);
  }
  if (budget_.room()) {
    budget_.keep(slot, budget_.wrap(std::move(handle)));
    slot.identity.reset();
    return true;
  }
  platform::DirIdentity identity;
  if (reader.identify(handle, identity)) slot.identity = identity;
  return false;
}

// Under the lock: takes `slot`'s handle out of the kept ones, remembering
// who it was.
template <class Reader>
listing::KeptHandle OrderedListing<Reader>::give_up(Slot& slot, Reader& reader) {
  KeptHandle handle = budget_.release(slot);
  platform::DirIdentity identity;
  if (reader.identify(handle_of(handle), identity)) slot.identity = identity;
  return handle;
}

// Under the lock: publishes a finished listing.
template <class Reader>
void OrderedListing<Reader>::finish(Slot& slot, bool ahead) {
  slot.done = true;
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
           (parent = ahead_.may_start() ? frontier_.first_with_work() : nullptr) == nullptr) {
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
    Job job = start(*parent, reader);
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
