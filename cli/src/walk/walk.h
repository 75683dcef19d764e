// The walk layer (this folder): from a root path to the totals, the detail
// tree and the green entries. Below it only the platform layer and the rules
// library; nothing here writes a report or talks to the user.
//   listing.h        the ordered stream of listings, and the engine that
//                    produces it on worker threads (its pieces in
//                    listing_pieces.h, its bodies in listing_engine.h);
//   walker.cc        the walk over that stream (`walk`, `walk_file`);
//   scan.cc          the listing policy: how many workers, for which root;
//   node.h           the detail tree; green_list.h the bounded green entries.
//
// The walk: one depth-first pass over a tree that totals sizes and counts,
// counts directories that cannot be listed to the end, builds the detail tree and
// collects the entries a rule marks green. It consumes the ordered stream
// of listings and never asks for a directory by its path.
//
// What it yields: the root node, whose bytes, files and dirs cover the whole
// tree (each sum stops at the largest 64-bit value rather than wrap); the
// number of directories that could not be listed to the end; and the green
// entries.
//
// Depth: the entries of the root are at level 1. With `depth` d, every entry
// at levels 1 to d + 1 gets a detail node, so depth 0 keeps the root's own
// entries only and the default 1 keeps their entries too; a directory at the
// last kept level has full totals and no children. The largest depth keeps
// everything. Every directory is judged at any depth; a file is judged only
// when it gets a node.
//
// Order: entries appear in `children` in listing order; nothing is sorted
// or filtered. Green entries are those whose own verdict is green (not one
// inherited from an enclosing folder): largest first, ties in the order
// they finished (a green file when its record is met, a green directory
// after everything beneath it), at most GreenList::DEFAULT_CAPACITY of them,
// each a copy without children.
//
// Kinds: a directory is entered; a file is counted with its listed size; a
// link (or junction, or mount point) is counted as a file of its listed size
// and never entered; an entry to skip is not counted at all.
//
// Errors: `walk` fails only on a stream out of order (StreamOutOfOrder),
// which is a fault of its producer, never of the tree. A directory whose listing cannot be opened
// is counted in `denied` and kept with zero totals; a listing that breaks off keeps the records
// read before the break and is counted in `denied` too, so `denied` 0 means nothing was lost.
//
// Depth of the tree: the walk keeps its open directories on an explicit
// stack, so a tree of any depth does not overflow the call stack.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/records.h"
#include "rules/rules.h"
#include "walk/detail_tree.h"
#include "walk/node.h"

namespace oskra {

class ListingStream;

// What one walk yields: the root, whose totals cover the whole tree, the
// folders that could not be opened or read to the end, and the green
// entries, largest first.
struct WalkResult {
  DetailTree tree;
  std::uint64_t denied = 0;
  std::vector<Node> greens;  // copies: they keep nothing of the tree

  const Node& root() const { return tree.root(); }
};

// A stream that broke its order: a listing missing, extra, at the wrong
// depth or under another name than the record it should follow. Its totals
// would land on the wrong folders, so the walk stops instead of guessing.
class StreamOutOfOrder : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Everything a walk has counted so far.
struct WalkProgress {
  std::uint64_t bytes = 0;
  std::uint64_t files = 0;
  std::uint64_t dirs = 0;
};

// Told of the walk's progress, on the walking thread, after every
// PROGRESS_INTERVAL entries: seldom enough to cost nothing beside the
// listing, often enough for a display that reads the clock each time.
using ProgressHook = std::function<void(const WalkProgress&)>;
inline constexpr std::uint32_t PROGRESS_INTERVAL = 1024;

// Told, on the walking thread, how far reading a volume's table has come:
// records read of the table's records.
using TableProgressHook = std::function<void(std::uint64_t read, std::uint64_t total)>;

// Which way a scan read the tree, and why not from the volume's table.
struct ScanSource {
  enum class Kind { file, table, listing };
  Kind kind = Kind::listing;
  // With `listing`: why the table was not read, or not used once read.
  std::string table_not_used;
};

// The walk of the tree at `root`, its canonical native path: a file alone
// (walk_file); a folder's subtree from its volume's master file table
// where the platform opens the volume (platform::open_volume), the table
// reads whole and a sample of folders listed as usual agrees with it; or
// else a directory listed on as many threads as the disk, the machine and
// the process allow. `progress`, when set, is told how far the walk has
// come, `table_progress` how far the table's reading; `source`, when
// given, which way was taken. The nodes' verdicts belong to `engine`, which
// must outlive the result.
WalkResult scan(platform::NativeStringView root, std::uint32_t depth, const RuleEngine& engine,
                const ProgressHook& progress = {}, const TableProgressHook& table_progress = {},
                ScanSource* source = nullptr);

// Walks the listings `listings` yields, judging entries with `engine`: an
// entry without a verdict of its own takes its directory's. The root is the
// first listing's (its whole path is its name). Throws StreamOutOfOrder
// when the stream breaks its order.
WalkResult walk(ListingStream& listings, std::uint32_t depth, const RuleEngine& engine,
                const ProgressHook& progress = {});

// A root that is a file of `size` bytes: its own node (name, path, size
// and its own verdict; `files` and `dirs` 0, as for any file node), nothing
// beneath it, and a copy in the greens when that verdict is green. Nothing
// is listed.
WalkResult walk_file(platform::NativeStringView root, std::uint64_t size, const RuleEngine& engine);

}  // namespace oskra
