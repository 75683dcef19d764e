#include <cstdint>
#include <deque>
#include <limits>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "walk/green_list.h"
#include "walk/listing.h"
#include "walk/node_store.h"
#include "walk/walk.h"

namespace oskra {

using platform::DirRecord;
using platform::EntryKind;
using platform::NativeStringView;

namespace {

constexpr char DISPLAY_SEPARATOR = static_cast<char>(platform::SEPARATOR);

bool is_green(const Mark* mark) { return mark != nullptr && mark->state == State::green; }

// How many levels below a directory still get detail nodes: the depth
// plus one, staying at the largest value rather than wrap to none.
std::uint32_t level_limit(std::uint32_t depth) {
  return depth == std::numeric_limits<std::uint32_t>::max() ? depth : depth + 1;
}

// The names of a folder's entries that will get nodes, in listing order, in
// one block their nodes share with the folder's path `folder`; gathered in
// `scratch`.
EntryNames entry_names(std::string_view folder, const platform::RecordList& records,
                       std::string& scratch) {
  scratch.assign(folder);
  scratch.push_back(DISPLAY_SEPARATOR);
  const std::size_t head = scratch.size();
  for (std::size_t i = 0; i < records.size(); ++i) {
    const DirRecord& record = records[i];
    if (record.kind == EntryKind::skip) continue;
    platform::append_utf8_lossy(scratch, records.name(record));
    scratch.push_back(EntryNames::NAME_END);
  }
  return scratch.size() > head ? EntryNames(scratch, head) : EntryNames();
}

// One open directory on the walk's stack: what its node needs, and its
// records while the walk takes them in.
struct Frame {
  Node node;                        // texts set on entry if kept, at its end if green; its
                                    // children from the walk's store
  const Mark* own = nullptr;        // its own verdict
  const Mark* effective = nullptr;  // `own`, or the nearest enclosing verdict
  std::uint32_t limit = 0;          // levels below it that get detail nodes
  bool kept = false;                // its parent keeps it as a detail node
  bool listed = false;              // its listing opened
  platform::RecordList records;     // its listing, handed over by the stream
  std::size_t next_record = 0;      // the next of them to take in
  std::size_t display_size = 0;     // its path in the display buffer
  std::size_t name_start = 0;       // where its name starts in the display buffer
  EntryNames names;                 // the names of its entries that get nodes

  // Moved in, not assigned, so its children keep to the store.
  explicit Frame(Node&& made) : node(std::move(made)) {}
};

class Walker {
 public:
  Walker(ListingStream& listings, const RuleEngine& engine, const ProgressHook& progress)
      : listings_(listings), engine_(engine), progress_(progress) {}

  WalkResult run(std::uint32_t depth) {
    enter_root(depth);
    while (!step()) {
    }
    Listing extra;
    if (listings_.next(extra)) throw StreamOutOfOrder("a listing after the root's last");
    WalkResult result;
    result.tree = DetailTree(std::move(owned_store_), std::move(done_));
    result.denied = denied_;
    result.greens = greens_.take_sorted();
    return result;
  }

 private:
  // The root's listing comes first, named by its whole path. That path may
  // end in a separator ("/", "\\?\C:\"); its entries are joined to its
  // listing path, which never does.
  void enter_root(std::uint32_t depth) {
    Listing listing;
    if (!listings_.next(listing) || listing.depth != 0) {
      throw StreamOutOfOrder("no listing of the root first");
    }
    const std::string root_display = platform::display_path(listing.name);
    display_ = platform::display_path(platform::listing_path(listing.name));
    // The root's array from the heap, like that of the node it is moved
    // into: a move between two sources would copy it element by element.
    Node top;
    top.set_name_and_path(platform::entry_name(listing.name), root_display);
    enter(std::move(listing), root_display, level_limit(depth), nullptr, /*kept=*/true,
          std::move(top));
  }

  // Takes in the next record of the top directory, or closes it when it has
  // none left. True once the root is closed.
  bool step() {
    Frame& f = stack_.back();
    if (f.next_record == f.records.size()) return close_top();
    if (--until_progress_ == 0) {
      until_progress_ = PROGRESS_INTERVAL;
      if (progress_) progress_(so_far_);
    }
    const DirRecord record = f.records[f.next_record++];
    switch (record.kind) {
      case EntryKind::directory:
        enter_child(f, record);
        break;
      case EntryKind::file:
      case EntryKind::link:
        add_file(f, record);
        break;
      case EntryKind::skip:
        break;
    }
    return false;
  }

  // Judges a directory and pushes it with its listing. `display` is its
  // display path, `inherited` the enclosing verdict, `node` its node with
  // its texts when it is kept.
  void enter(Listing listing, std::string_view display, std::uint32_t limit, const Mark* inherited,
             bool kept, Node node) {
    Frame& f = stack_.emplace_back(std::move(node));
    f.own = engine_.evaluate(display);
    f.effective = f.own != nullptr ? f.own : inherited;
    f.limit = limit;
    f.kept = kept;
    f.node.dirs = 1;
    ++so_far_.dirs;
    f.display_size = display_.size();
    f.listed = listing.status != platform::ListStatus::open_failed;
    if (f.listed) f.records = std::move(listing.records);
    // A listing cut short keeps what it read, but has lost entries as surely
    // as one that never opened: either way the totals are lower bounds.
    if (listing.status != platform::ListStatus::ok) {
      ++denied_;
      f.node.set_denied(true);
    }
    // Every record becomes at most one child: sized once, the children never
    // move while the listing is taken in.
    if (limit != 0) {
      f.node.children.reserve(f.records.size());
      f.names =
          entry_names(std::string_view(display_).substr(0, f.display_size), f.records, names_);
    }
  }

  // The directory `record` names is the stream's next listing.
  void enter_child(Frame& parent, const DirRecord& record) {
    Listing listing;
    // Checked in every build: a producer out of order would put totals on
    // the wrong folders without a sign.
    if (!listings_.next(listing) || listing.depth != stack_.size() ||
        listing.name != parent.records.name(record)) {
      throw StreamOutOfOrder("the listing due after a folder's record is not that folder's");
    }
    display_.resize(parent.display_size);
    display_.push_back(DISPLAY_SEPARATOR);
    const std::size_t name_start = display_.size();
    const bool kept = parent.limit != 0;
    Node node(owned_store_.get());
    if (kept) {
      parent.names.name_next(node);
      display_.append(node.name());
    } else {
      platform::append_utf8_lossy(display_, parent.records.name(record));
    }
    enter(std::move(listing), display_, kept ? parent.limit - 1 : 0, parent.effective, kept,
          std::move(node));
    stack_.back().name_start = name_start;
  }

  void add_file(Frame& f, const DirRecord& record) {
    add_saturating(f.node.bytes, record.size);
    add_saturating(f.node.files, 1);
    add_saturating(so_far_.bytes, record.size);
    ++so_far_.files;
    // Below the detail depth a file is neither judged nor kept.
    if (f.limit == 0) return;
    // Made in place: the children were sized for every record.
    Node& file = f.node.children.emplace_back();
    f.names.name_next(file);
    file.bytes = record.size;
    // Judged on its path, made for the moment in the buffer of its folder's.
    display_.push_back(DISPLAY_SEPARATOR);
    display_.append(file.name());
    file.mark = engine_.evaluate(display_);
    display_.resize(f.display_size);
    if (is_green(file.mark)) greens_.offer(file);
    if (file.mark == nullptr) file.mark = f.effective;
  }

  // Pops the finished top directory into its parent, or into `done_` when
  // it is the root. True for the root.
  bool close_top() {
    Frame& f = stack_.back();
    const bool root = stack_.size() == 1;
    // Its own green verdict offers a directory, once it has been listed.
    const bool green = f.listed && is_green(f.own);
    if (!root && !f.kept && green) {
      // Not a node of the tree, so its texts are made only now, from the
      // buffer that holds its path while it is on top.
      const std::string_view path = std::string_view(display_).substr(0, f.display_size);
      f.node.set_name_and_path(path.substr(f.name_start), path);
    }
    f.node.mark = f.effective;
    if (green) greens_.offer(f.node);
    Node done = std::move(f.node);
    stack_.pop_back();
    if (root) {
      done_ = std::move(done);
      return true;
    }
    Frame& parent = stack_.back();
    display_.resize(parent.display_size);
    add_totals(parent.node, done);
    if (parent.limit != 0) parent.node.children.push_back(std::move(done));
    return false;
  }

  // The arrays of the nodes' children, until the result takes them: first,
  // so that it outlives every node here when a walk stops half way.
  std::unique_ptr<NodeStore> owned_store_ = std::make_unique<NodeStore>();
  ListingStream& listings_;
  const RuleEngine& engine_;
  const ProgressHook& progress_;
  WalkProgress so_far_;
  std::uint32_t until_progress_ = PROGRESS_INTERVAL;
  std::uint64_t denied_ = 0;
  GreenList greens_;
  std::deque<Frame> stack_;
  Node done_;            // the root, once closed
  std::string display_;  // the display path of the directory on top
  std::string names_;    // where a folder's entry names are gathered
};

}  // namespace

WalkResult walk(ListingStream& listings, std::uint32_t depth, const RuleEngine& engine,
                const ProgressHook& progress) {
  return Walker(listings, engine, progress).run(depth);
}

WalkResult walk_file(NativeStringView root, std::uint64_t size, const RuleEngine& engine) {
  WalkResult result;
  Node file;
  const std::string path = platform::display_path(root);
  file.set_name_and_path(platform::entry_name(root), path);
  file.bytes = size;
  file.mark = engine.evaluate(path);
  if (is_green(file.mark)) result.greens.push_back(file.copy_alone());
  result.tree = DetailTree(std::move(file));
  return result;
}

}  // namespace oskra
