// From what the pass gathered to the table: every reference checked across
// records, the folders shown to lead to the root, each folder's entries put
// in the order of its index.
#include <algorithm>

#include "ntfs/ntfs.h"
#include "ntfs/scan.h"

namespace oskra::ntfs {

using namespace detail;

namespace {

// Bits NTFS keeps beside the file attributes for its own use; a listing
// shows the directory bit in their place.
constexpr std::uint32_t INTERNAL_ATTRIBUTES = 0x30000000 | ATTRIBUTE_DIRECTORY;
constexpr std::uint64_t UPCASE_SIZE = 0x10000 * 2;

// A name's units as the store keeps them: a byte or two a unit.
struct Units {
  const unsigned char* bytes;
  std::size_t size;
  bool narrow;
  char16_t operator[](std::size_t i) const {
    if (narrow) return bytes[i];
    char16_t unit;
    std::memcpy(&unit, bytes + 2 * i, sizeof unit);
    return unit;
  }
};

// The order of names in a folder's index: compared unit by unit through
// the volume's upper-case table, the shorter first when one is the other's
// start; names equal but for case then by their own units.
class Collation {
 public:
  explicit Collation(const std::vector<std::byte>& table) : upcase_(0x10000) {
    std::memcpy(upcase_.data(), table.data(), UPCASE_SIZE);
  }
  // Negative, zero or positive as `a` comes before, with or after `b`.
  int compare(Units a, Units b) const {
    const std::size_t n = std::min(a.size, b.size);
    // Units equal as they are are equal upper-cased: only the rest is
    // looked up.
    std::size_t same = 0;
    if (a.narrow == b.narrow) {
      const std::size_t width = a.narrow ? 1 : 2;
      const auto end = a.bytes + n * width;
      same = static_cast<std::size_t>(std::mismatch(a.bytes, end, b.bytes).first - a.bytes) / width;
    } else {
      while (same < n && a[same] == b[same]) ++same;
    }
    for (std::size_t i = same; i < n; ++i) {
      const char16_t ua = upcase_[a[i]];
      const char16_t ub = upcase_[b[i]];
      if (ua != ub) return ua < ub ? -1 : 1;
    }
    if (a.size != b.size) return a.size < b.size ? -1 : 1;
    if (same == n) return 0;
    return a[same] < b[same] ? -1 : 1;
  }

 private:
  std::vector<char16_t> upcase_;
};

}  // namespace

class TableBuilder {
 public:
  TableBuilder(const Volume& volume, Gathered& g, BlockSource blocks)
      : volume_(volume), g_(g), blocks_(blocks) {}

  Table build() {
    check_extensions();
    check_records();
    keep_user_links();
    Table t(blocks_);
    group_by_folder(t);
    check_reachable(t);
    order(t);
    t.facts_ = std::move(g_.facts);
    return t;
  }

 private:
  // An extension record belongs to the base record in use that names it
  // in its attribute list, and every record a list names is there.
  void check_extensions() {
    for (std::size_t i = 0; i < g_.extensions.size(); ++i) {
      const Extension& e = g_.extensions[i];
      require((g_.state[e.base] & BASE_IN_USE) != 0 && g_.sequence[e.base] == g_.base_sequence[i],
              "an extension record of a file not in use");
    }
    for (std::vector<Extension>* v : {&g_.extensions, &g_.listed}) {
      std::sort(v->begin(), v->end());
      v->erase(std::unique(v->begin(), v->end()), v->end());
    }
    require(g_.extensions == g_.listed, "extension records and attribute lists disagree");
  }

  void check_records() {
    require((g_.state[Table::ROOT] & (BASE_IN_USE | DIRECTORY)) == (BASE_IN_USE | DIRECTORY),
            "no root folder");
    volume_.finish(g_.upcase);
    require(g_.upcase.size == UPCASE_SIZE, "no upper-case table");
    for (std::size_t r = 0; r < g_.facts.size(); ++r) {
      std::uint32_t& attributes = g_.facts[r].attributes;
      const bool directory = (g_.state[r] & DIRECTORY) != 0;
      attributes = (attributes & ~INTERNAL_ATTRIBUTES) | (directory ? ATTRIBUTE_DIRECTORY : 0);
    }
  }

  // What an entry shows must be there: its attributes, its data's sizes,
  // and the reparse point they speak of.
  void check_entry(std::uint32_t record) const {
    const std::uint8_t s = g_.state[record];
    require((s & HAS_INFORMATION) != 0, "a file without standard information");
    require((s & (HAS_DATA | HAS_DATA_TAIL)) != HAS_DATA_TAIL, "a file's data without its sizes");
    require((s & (DATA_GOES_ON | HAS_DATA_TAIL)) != DATA_GOES_ON, "a file's sizes beyond its runs");
    require(
        ((g_.facts[record].attributes & ATTRIBUTE_REPARSE_POINT) != 0) == ((s & HAS_REPARSE) != 0),
        "reparse attribute and reparse point disagree");
  }

  // The volume's own files are no entries; what lies below them (in
  // $Extend) is kept so that it is known to lead somewhere.
  void keep_user_links() {
    BlockVector<std::uint8_t> named(g_.facts.size(), blocks_);
    for (BlockVector<Link>& links : g_.links) {
      std::erase_if(links, [](const Link& l) { return l.record < FIRST_USER_RECORD; });
      for (const Link& l : links) {
        require((g_.state[l.parent] & (BASE_IN_USE | DIRECTORY)) == (BASE_IN_USE | DIRECTORY) &&
                    g_.sequence[l.parent] == l.parent_sequence,
                "an entry in a folder that is not there");
        check_entry(l.record);
        // A folder has one name: a second would show it twice.
        if ((g_.state[l.record] & DIRECTORY) != 0) {
          require(named[l.record] == 0, "a folder with two names");
          named[l.record] = 1;
        }
      }
    }
  }

  // The links of all threads' lists, by record as far as each list is
  // (a folder's entries then come in the order they were made, which is
  // most often already the order of its index).
  template <class Each>
  void in_record_order(Each&& each) const {
    std::vector<std::size_t> at(g_.links.size());
    for (;;) {
      std::size_t best = at.size();
      for (std::size_t i = 0; i < at.size(); ++i) {
        if (at[i] < g_.links[i].size() &&
            (best == at.size() || g_.links[i][at[i]].record < g_.links[best][at[best]].record)) {
          best = i;
        }
      }
      if (best == at.size()) return;
      each(g_.links[best][at[best]++]);
    }
  }

  void group_by_folder(Table& t) {
    auto& first = t.first_child_;
    first.assign(g_.facts.size() + 1, 0);
    std::size_t total = 0;
    for (const BlockVector<Link>& links : g_.links) {
      total += links.size();
      for (const Link& l : links) ++first[l.parent + 1];
    }
    for (std::size_t r = 1; r < first.size(); ++r) first[r] += first[r - 1];
    // Each folder's start serves as its cursor and ends at the next one's
    // start: shifted back by one place, they are the starts again.
    t.entries_.resize(total);
    in_record_order([&](const Link& l) {
      t.entries_[first[l.parent]++] = {l.record, l.name_offset, l.name_size, l.narrow};
    });
    std::copy_backward(first.begin(), first.end() - 2, first.end() - 1);
    first[0] = 0;
    std::vector<BlockVector<Link>>().swap(g_.links);
    t.names_ = std::move(g_.names);
  }

  // Every folder with an entry leads up to the root (or to $Extend): a
  // loop of parent references leads nowhere.
  void check_reachable(const Table& t) {
    BlockVector<std::uint8_t> reached(g_.facts.size(), blocks_);
    std::vector<std::uint32_t> stack;
    for (std::uint32_t r = 0; r < FIRST_USER_RECORD; ++r) {
      if ((g_.state[r] & DIRECTORY) != 0) stack.push_back(r);
    }
    while (!stack.empty()) {
      const std::uint32_t dir = stack.back();
      stack.pop_back();
      if (reached[dir] != 0) continue;
      reached[dir] = 1;
      for (const Entry& e : t.children(dir)) {
        if ((g_.state[e.record] & DIRECTORY) != 0) stack.push_back(e.record);
      }
    }
    for (std::size_t r = 0; r + 1 < t.first_child_.size(); ++r) {
      require(reached[r] != 0 || t.first_child_[r] == t.first_child_[r + 1],
              "folders that do not lead to the root (a loop of parent references)");
    }
  }

  void order(Table& t) {
    const Collation collation(volume_.content(g_.upcase, UPCASE_SIZE));
    for (std::size_t r = 0; r + 1 < t.first_child_.size(); ++r) {
      const auto begin = t.entries_.begin() + t.first_child_[r];
      const auto end = t.entries_.begin() + t.first_child_[r + 1];
      const auto before = [&](const Entry& a, const Entry& b) {
        const int c = collation.compare(units(t, a), units(t, b));
        return c != 0 ? c < 0 : a.record < b.record;
      };
      // Folders filled in name order (most of them) come in order already.
      if (!std::is_sorted(begin, end, before)) std::sort(begin, end, before);
      // Names that differ only in case are two entries; the same name
      // twice is one folder's index damaged.
      for (auto e = begin; e != end && e + 1 != end; ++e) {
        require(!same_units(units(t, *e), units(t, *(e + 1))), "one name twice in a folder");
      }
    }
  }

  static bool same_units(Units a, Units b) {
    if (a.size != b.size) return false;
    if (a.narrow == b.narrow) {
      return std::memcmp(a.bytes, b.bytes, a.narrow ? a.size : 2 * a.size) == 0;
    }
    for (std::size_t i = 0; i < a.size; ++i) {
      if (a[i] != b[i]) return false;
    }
    return true;
  }

  static Units units(const Table& t, const Entry& e) {
    return {t.names_.at(e.name_offset), e.name_size, e.narrow};
  }

  const Volume& volume_;
  Gathered& g_;
  BlockSource blocks_;
};

// Offsets are 32 bits.
constexpr std::size_t MAX_NAME_BLOCKS = (std::size_t{1} << 32) / NameStore::BLOCK_BYTES;

bool NameStore::add(const void* units, std::size_t size, std::uint32_t& offset, bool& narrow) {
  const auto* from = static_cast<const unsigned char*>(units);
  unsigned high = 0;  // every unit's high byte, or-ed: no early exit, so it vectorises
  for (std::size_t i = 0; i < size; ++i) high |= from[2 * i + 1];
  narrow = high == 0;
  // A name of two bytes a unit starts at an even offset, so that it can be
  // read where it lies.
  const std::uint32_t start = narrow ? used_ : (used_ + 1) & ~1u;
  const std::size_t bytes = narrow ? size : 2 * size;
  if (blocks_.empty() || BLOCK_BYTES - start < bytes) {
    if (blocks_.size() == MAX_NAME_BLOCKS) return false;
    std::unique_ptr<unsigned char[], Release> block(source_.allocate(BLOCK_BYTES),
                                                    Release{source_});
    blocks_.push_back(std::move(block));
    used_ = 0;
  } else {
    used_ = start;
  }
  offset = static_cast<std::uint32_t>((blocks_.size() - 1) * BLOCK_BYTES + used_);
  unsigned char* to = blocks_.back().get() + used_;
  if (narrow) {
    for (std::size_t i = 0; i < size; ++i) to[i] = from[2 * i];
  } else {
    std::memcpy(to, from, bytes);
  }
  used_ += static_cast<std::uint32_t>(bytes);
  return true;
}

bool NameStore::take_all(NameStore&& other, std::uint32_t& shift) {
  shift = 0;
  if (other.blocks_.empty()) return true;
  if (blocks_.size() + other.blocks_.size() > MAX_NAME_BLOCKS) return false;
  shift = static_cast<std::uint32_t>(blocks_.size() * BLOCK_BYTES);
  // What is left of this store's last block stays unused.
  for (auto& block : other.blocks_) blocks_.push_back(std::move(block));
  used_ = other.used_;
  other.blocks_.clear();
  return true;
}

std::u16string_view Table::name(const Entry& entry, std::u16string& scratch) const {
  const unsigned char* at = names_.at(entry.name_offset);
  if (!entry.narrow) return {reinterpret_cast<const char16_t*>(at), entry.name_size};
  scratch.resize(entry.name_size);
  for (std::size_t i = 0; i < scratch.size(); ++i) scratch[i] = at[i];
  return scratch;
}

std::span<const Entry> Table::children(std::uint32_t directory) const {
  if (directory + std::size_t{1} >= first_child_.size()) return {};
  return std::span<const Entry>(entries_).subspan(
      first_child_[directory], first_child_[directory + 1] - first_child_[directory]);
}

std::size_t Table::memory() const {
  return facts_.capacity() * sizeof(Facts) + first_child_.capacity() * sizeof(std::uint32_t) +
         entries_.capacity() * sizeof(Entry) + names_.memory();
}

ReadResult read_table(const ReadAt& read, Progress* progress, BlockSource blocks) {
  try {
    const Volume volume(read);
    const MftLayout layout = read_mft_layout(volume);
    if (progress != nullptr)
      progress->records_total.store(layout.records, std::memory_order_relaxed);
    Gathered gathered = scan_table(volume, layout, progress, blocks);
    return {TableBuilder(volume, gathered, blocks).build(), {}};
  } catch (const Unreadable& e) {
    return {std::nullopt, e.what};
  }
}

}  // namespace oskra::ntfs
