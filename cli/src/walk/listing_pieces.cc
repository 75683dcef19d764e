#include "walk/listing_pieces.h"

namespace oskra {

namespace listing {

NativeStringView Subdirs::name(std::size_t i) const {
  const std::size_t start = i == 0 ? 0 : ends[i - 1];
  return NativeStringView(names).substr(start, ends[i] - start);
}

std::size_t Subdirs::footprint() const {
  return names.capacity() * sizeof(platform::NativeChar) + ends.capacity() * sizeof(std::size_t) +
         made.capacity() * sizeof(std::unique_ptr<Slot>);
}

// --- Frontier ----------------------------------------------------------------

void Frontier::push_back(Slot& slot) {
  slot.prev = tail_;
  slot.next = nullptr;
  (tail_ != nullptr ? tail_->next : head_) = &slot;
  tail_ = &slot;
  slot.queued = true;
}

void Frontier::insert_before(Slot& slot, Slot& next) {
  slot.prev = next.prev;
  slot.next = &next;
  (next.prev != nullptr ? next.prev->next : head_) = &slot;
  next.prev = &slot;
  slot.queued = true;
}

void Frontier::remove(Slot& slot) {
  (slot.prev != nullptr ? slot.prev->next : head_) = slot.next;
  (slot.next != nullptr ? slot.next->prev : tail_) = slot.prev;
  slot.prev = slot.next = nullptr;
  slot.queued = false;
}

void Frontier::started(Slot& child, Slot& parent) {
  insert_before(child, parent);
  waiting_ -= 1;
  if (!parent.subdirs.left()) remove(parent);
}

void Frontier::listed(Slot& slot) {
  if (slot.subdirs.left()) {
    waiting_ += slot.subdirs.count();
  } else {
    remove(slot);
  }
}

Slot* Frontier::first_with_work() const {
  for (Slot* s = head_; s != nullptr; s = s->next) {
    if (s->done) return s;  // listed and still here: it has work
  }
  return nullptr;
}

// --- HandleBudget ------------------------------------------------------------

HandleBudget::HandleBudget(std::size_t descriptors, unsigned listers)
    : most_(descriptors > TRANSIENT * listers ? descriptors - TRANSIENT * listers : 0),
      spare_(listers == 1 && descriptors >= TRANSIENT ? 1 : 0),
      limit_(most_) {}

void HandleBudget::exhausted() {
  const std::size_t live = live_.load();
  const std::size_t lower = live > 0 ? live - 1 : 0;
  std::size_t limit = limit_.load();
  while (limit > lower && !limit_.compare_exchange_weak(limit, lower)) {
  }
}

void HandleBudget::opened() {
  std::size_t limit = limit_.load();
  while (limit < most_ && !limit_.compare_exchange_weak(limit, limit + 1)) {
  }
}

Slot* HandleBudget::first_unshared() const {
  Slot* first = nullptr;
  for (Slot* slot : kept_) {
    if (slot->handle.use_count() == 1 && (first == nullptr || slot->depth < first->depth)) {
      first = slot;
    }
  }
  return first;
}

void HandleBudget::keep(Slot& slot, KeptHandle handle) {
  slot.handle = std::move(handle);
  kept_.push_back(&slot);
  slot.kept_at = kept_.size() - 1;
  sift_up(slot.kept_at);
}

KeptHandle HandleBudget::release(Slot& slot) {
  const std::size_t at = slot.kept_at;
  slot.kept_at = Slot::NOT_KEPT;
  Slot* last = kept_.back();
  kept_.pop_back();
  if (last != &slot) {
    place(at, last);
    sift_up(at);
    sift_down(last->kept_at);
  }
  return std::move(slot.handle);
}

void HandleBudget::place(std::size_t at, Slot* slot) {
  kept_[at] = slot;
  slot->kept_at = at;
}

void HandleBudget::sift_up(std::size_t at) {
  Slot* slot = kept_[at];
  while (at > 0) {
    const std::size_t up = (at - 1) / 2;
    if (kept_[up]->depth <= slot->depth) break;
    place(at, kept_[up]);
    at = up;
  }
  place(at, slot);
}

void HandleBudget::sift_down(std::size_t at) {
  Slot* slot = kept_[at];
  while (true) {
    std::size_t child = 2 * at + 1;
    if (child >= kept_.size()) break;
    if (child + 1 < kept_.size() && kept_[child + 1]->depth < kept_[child]->depth) ++child;
    if (kept_[child]->depth >= slot->depth) break;
    place(at, kept_[child]);
    at = child;
  }
  place(at, slot);
}

// --- AheadBound --------------------------------------------------------------

bool AheadBound::room() const {
  return count_ + running_ < limits_.listings && bytes_ < limits_.bytes;
}

void AheadBound::started() {
  ++running_;
  update();
}

void AheadBound::finished(Slot& slot, bool ahead) {
  --running_;
  if (ahead) {
    slot.held = slot.footprint();
    count_ += 1;
    bytes_ += slot.held;
    peak_bytes_ = std::max(peak_bytes_, bytes_);
  }
  update();
}

void AheadBound::taken(Slot& slot) {
  if (slot.held != 0) {  // else the walk listed it itself
    count_ -= 1;
    bytes_ -= slot.held;
    slot.held = 0;
  }
  update();
}

void AheadBound::update() {
  if (!room()) {
    full_ = true;
  } else if (full_ && count_ + running_ <= limits_.listings / 2 && bytes_ <= limits_.bytes / 2) {
    full_ = false;
  }
}

// --- Cursor ------------------------------------------------------------------

Cursor::Next Cursor::next() {
  while (!levels_.empty()) {
    Level& level = levels_.back();
    if (level.next < level.slot->subdirs.count()) return Next{level.slot, level.next++};
    // The stream has moved past it and everything below it. A root's slot
    // stays with its engine; its names go.
    Slot* done = level.slot;
    levels_.pop_back();
    if (done->parent != nullptr) {
      done->parent->subdirs.made[done->index].reset();
    } else {
      done->subdirs = Subdirs();
    }
  }
  return Next{};
}

// --- Slots -------------------------------------------------------------------

void gather_subdirs(Slot& slot) {
  Subdirs& subdirs = slot.subdirs;
  const RecordList& records = slot.records;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const platform::DirRecord& r = records[i];
    if (r.kind != platform::EntryKind::directory) continue;
    subdirs.names.append(records.name(r));
    subdirs.ends.push_back(subdirs.names.size());
  }
  subdirs.made.resize(subdirs.count());
}

Slot& make_next_child(Slot& parent) {
  Subdirs& subdirs = parent.subdirs;
  const std::size_t i = subdirs.started++;
  auto child = std::make_unique<Slot>();
  child->parent = &parent;
  child->index = i;
  child->depth = parent.depth + 1;
  child->name = subdirs.name(i);
  subdirs.made[i] = std::move(child);
  return *subdirs.made[i];
}

std::vector<Slot*> path_from_held(Slot& parent, KeptHandle& from) {
  std::vector<Slot*> path;
  for (Slot* s = &parent; s != nullptr; s = s->parent) {
    path.push_back(s);
    if (s->parent != nullptr && s->parent->handle) {
      from = s->parent->handle;
      break;
    }
  }
  std::reverse(path.begin(), path.end());
  return path;
}

}  // namespace listing
}  // namespace oskra
