#include "scanner.h"

#include <algorithm>
#include <deque>
#include <utility>

namespace oskra {

using platform::DirRecord;
using platform::NativeString;
using platform::NativeStringView;

std::string display_path(NativeStringView path) {
  std::string text = platform::to_utf8_lossy(path);
  constexpr std::string_view prefix = "\\\\?\\";
  std::size_t start = 0;
  while (text.compare(start, prefix.size(), prefix) == 0) start += prefix.size();
  text.erase(0, start);
  return text;
}

// --- GreenList -----------------------------------------------------------------

bool GreenList::drops_later(const Entry& a, const Entry& b) {
  // std::*_heap keep the "largest" on top; here that is the entry to drop
  // first.
  if (a.node.bytes != b.node.bytes) return a.node.bytes < b.node.bytes;
  return a.order > b.order;
}

bool GreenList::would_keep(std::uint64_t bytes) const {
  if (heap_.size() < capacity_) return true;
  // A new entry comes after every kept one, so it must be strictly larger
  // than the first to drop.
  return capacity_ > 0 && bytes > heap_.front().node.bytes;
}

void GreenList::add(Node node) {
  const std::uint64_t order = added_++;
  if (!would_keep(node.bytes)) return;
  const auto cmp = [](const Entry& a, const Entry& b) { return drops_later(b, a); };
  if (heap_.size() == capacity_) {
    std::pop_heap(heap_.begin(), heap_.end(), cmp);
    heap_.pop_back();
  }
  heap_.push_back(Entry{std::move(node), order});
  std::push_heap(heap_.begin(), heap_.end(), cmp);
}

std::vector<Node> GreenList::take_sorted() {
  std::sort(heap_.begin(), heap_.end(), [](const Entry& a, const Entry& b) {
    if (a.node.bytes != b.node.bytes) return a.node.bytes > b.node.bytes;
    return a.order < b.order;
  });
  std::vector<Node> out;
  out.reserve(heap_.size());
  for (Entry& e : heap_) out.push_back(std::move(e.node));
  heap_.clear();
  return out;
}

// --- walk ------------------------------------------------------------------------

namespace {

constexpr char DISPLAY_SEPARATOR = static_cast<char>(platform::SEPARATOR);

bool is_green(const std::optional<Mark>& mark) { return mark && mark->state == State::green; }

// One directory on the walk's stack.
struct Frame {
  Node node;                        // name, path and mark are filled in only when the node is kept
  std::optional<Mark> own;          // its own verdict
  const Mark* effective = nullptr;  // `own`, or the nearest enclosing verdict
  std::uint32_t limit = 0;
  bool kept = false;             // its parent keeps it as a detail node
  bool listed = false;           // its listing opened
  std::size_t first_record = 0;  // its records in the walk's record list
  std::size_t next_record = 0;
  std::size_t end_record = 0;
  std::size_t native_size = 0;   // its listing path in the native buffer
  std::size_t display_size = 0;  // its listing path in the display buffer
  std::size_t name_start = 0;    // where its name starts in the display buffer

  // Its own green verdict puts a directory in the green list, once listed.
  bool offered_green() const { return listed && is_green(own); }
};

class Walker {
 public:
  Walker(platform::DirectorySource& source, const RuleEngine& engine, std::uint64_t& denied,
         GreenList& greens)
      : source_(source), engine_(engine), denied_(denied), greens_(greens) {}

  Node run(NativeStringView root, std::uint32_t limit, std::optional<Mark> inherited) {
    root_inherited_ = std::move(inherited);
    // The root's own path may end in a separator ("/", "\\?\C:\"); its
    // entries are joined to its listing path, which never does.
    native_ = platform::listing_path(root);
    display_ = display_path(native_);
    const std::string root_display = display_path(root);
    enter(root, root_display, limit, root_inherited_ ? &*root_inherited_ : nullptr,
          /*kept=*/true);
    Frame& top = stack_.back();
    top.node.name = platform::entry_name(root);
    top.node.path = root_display;

    while (true) {
      Frame& f = stack_.back();
      if (f.next_record == f.end_record) {
        Node done = finish();
        if (stack_.empty()) return done;
        Frame& parent = stack_.back();
        parent.node.bytes += done.bytes;
        parent.node.files += done.files;
        parent.node.dirs += done.dirs;
        if (parent.limit != 0) parent.node.children.push_back(std::move(done));
        continue;
      }
      const DirRecord record = records_[f.next_record++];
      const bool is_dir = (record.attributes & platform::ATTR_DIRECTORY) != 0;
      const bool is_reparse = (record.attributes & platform::ATTR_REPARSE_POINT) != 0;
      if (is_dir && !is_reparse) {
        enter_child(f, record);
      } else if (!is_dir || (record.reparse_tag & platform::TAG_NAME_SURROGATE) != 0) {
        // A file, or a junction or directory link: counted as a file of its
        // listed size and never entered.
        add_file(f, record);
      }
      // Any other reparse directory is skipped: not counted, not entered.
    }
  }

 private:
  // Judges a directory, lists it and pushes it. `path` is its full native
  // path, `display` its display path, `inherited` the enclosing verdict.
  void enter(NativeStringView path, std::string_view display, std::uint32_t limit,
             const Mark* inherited, bool kept) {
    Frame& f = stack_.emplace_back();
    f.own = engine_.evaluate(display);
    // Frames never move (a deque keeps its elements in place), so children
    // can point at this verdict instead of copying it.
    f.effective = f.own ? &*f.own : inherited;
    f.limit = limit;
    f.kept = kept;
    f.node.dirs = 1;
    f.native_size = native_.size();
    f.display_size = display_.size();
    f.first_record = f.next_record = records_.size();
    const platform::ListStatus status = source_.list(path, records_);
    f.listed = status != platform::ListStatus::open_failed;
    if (!f.listed) {
      ++denied_;
      records_.truncate(f.first_record);
    }
    f.end_record = records_.size();
    // Every record becomes at most one child: sized once, the children never
    // move while the listing is taken in.
    if (limit != 0) f.node.children.reserve(f.end_record - f.first_record);
  }

  void enter_child(Frame& parent, const DirRecord& record) {
    const NativeStringView name = records_.name(record);
    native_.resize(parent.native_size);
    native_.push_back(platform::SEPARATOR);
    native_.append(name);
    display_.resize(parent.display_size);
    display_.push_back(DISPLAY_SEPARATOR);
    const std::size_t name_start = display_.size();
    platform::append_utf8_lossy(display_, name);
    enter(native_, display_, parent.limit == 0 ? 0 : parent.limit - 1, parent.effective,
          /*kept=*/parent.limit != 0);
    stack_.back().name_start = name_start;
  }

  void add_file(Frame& f, const DirRecord& record) {
    f.node.bytes += record.size;
    f.node.files += 1;
    // Below the detail depth a file is neither judged nor kept.
    if (f.limit == 0) return;
    Node file;
    platform::append_utf8_lossy(file.name, records_.name(record));
    file.path.reserve(f.display_size + 1 + file.name.size());
    file.path.assign(display_, 0, f.display_size);
    file.path.push_back(DISPLAY_SEPARATOR);
    file.path.append(file.name);
    file.bytes = record.size;
    file.mark = engine_.evaluate(file.path);
    const bool green = is_green(file.mark);
    if (!file.mark && f.effective) file.mark = *f.effective;
    if (green && greens_.would_keep(file.bytes)) greens_.add(file);
    f.node.children.push_back(std::move(file));
  }

  // Pops the finished top directory and returns its node.
  Node finish() {
    Frame& f = stack_.back();
    const bool root = stack_.size() == 1;
    const bool green = f.offered_green() && greens_.would_keep(f.node.bytes);
    if (root || f.kept || green) {
      if (!root) {
        // The buffers hold this directory's path while it is on top.
        f.node.path.assign(display_, 0, f.display_size);
        f.node.name.assign(display_, f.name_start, f.display_size - f.name_start);
      }
      // Every frame beneath is finished: nothing points at `own` any more.
      if (f.own) {
        f.node.mark = std::move(f.own);
      } else if (f.effective) {
        f.node.mark = *f.effective;
      }
    }
    if (green) {
      Node copy;
      copy.name = f.node.name;
      copy.path = f.node.path;
      copy.bytes = f.node.bytes;
      copy.files = f.node.files;
      copy.dirs = f.node.dirs;
      copy.mark = f.node.mark;
      greens_.add(std::move(copy));
    }
    Node done = std::move(f.node);
    records_.truncate(f.first_record);
    stack_.pop_back();
    if (!stack_.empty()) {
      const Frame& parent = stack_.back();
      native_.resize(parent.native_size);
      display_.resize(parent.display_size);
    }
    return done;
  }

  platform::DirectorySource& source_;
  const RuleEngine& engine_;
  std::uint64_t& denied_;
  GreenList& greens_;
  std::optional<Mark> root_inherited_;
  platform::RecordList records_;
  std::deque<Frame> stack_;
  NativeString native_;  // listing path of the directory being entered
  std::string display_;  // its display form
};

}  // namespace

Node walk(platform::DirectorySource& source, NativeStringView root, std::uint32_t limit,
          const RuleEngine& engine, std::uint64_t& denied, std::optional<Mark> inherited,
          GreenList& greens) {
  Walker walker(source, engine, denied, greens);
  return walker.run(root, limit, std::move(inherited));
}

}  // namespace oskra
