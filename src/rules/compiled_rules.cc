#include "rules/compiled_rules.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "rules/varint.h"
#include "text/unicode.h"

namespace oskra::detail {

namespace {

// Offsets into the block of texts are 32-bit: far more than a rules file
// of at most 16 MiB needs.
std::uint32_t offset32(std::size_t n) {
  if (n > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("rules too large");
  return static_cast<std::uint32_t>(n);
}

// A kept rule: its pattern, reason and action lie one after the other just
// before its header, which holds their lengths, where the normalised
// pattern lies in the pattern, and the state.
struct Row {
  State state;
  std::string_view pattern;
  std::string_view normalized;  // within `pattern`
  std::string_view reason;
  std::string_view action;
};

void put_header(std::string& arena, std::size_t pattern, std::size_t reason, std::size_t action,
                const CompiledPattern& compiled, State state) {
  put_varint(arena, pattern);
  put_varint(arena, reason);
  put_varint(arena, action);
  put_varint(arena, compiled.start);
  put_varint(arena, compiled.size);
  arena.push_back(static_cast<char>(state));
}

Row read_row(const std::string& arena, std::uint32_t header) {
  const char* at = arena.data() + header;
  const std::size_t pattern = get_varint(at);
  const std::size_t reason = get_varint(at);
  const std::size_t action = get_varint(at);
  const std::size_t start = get_varint(at);
  const std::size_t size = get_varint(at);
  const auto state = static_cast<State>(*at);
  const std::string_view texts(arena.data() + header - (pattern + reason + action),
                               pattern + reason + action);
  const std::string_view p = texts.substr(0, pattern);
  return Row{state, p, p.substr(start, size), texts.substr(pattern, reason),
             texts.substr(pattern + reason)};
}

}  // namespace

template <class Key>
std::uint32_t RulesBuilder::NameIndex::find(std::string_view name, std::uint64_t hash,
                                            Key key) const {
  if (count_ == 0) return NONE;
  const std::size_t mask = slots_.size() - 1;
  const std::uint8_t wanted = tag(hash);
  for (std::size_t at = static_cast<std::size_t>(hash) & mask; true; at = (at + 1) & mask) {
    const std::uint32_t slot = slots_[at];
    if (slot == 0) return NONE;
    if (tags_[at] == wanted && ascii_iequal(key(slot - 1), name)) return slot - 1;
  }
}

void RulesBuilder::NameIndex::place(std::uint32_t position, std::uint64_t hash) {
  const std::size_t mask = slots_.size() - 1;
  std::size_t at = static_cast<std::size_t>(hash) & mask;
  while (slots_[at] != 0) at = (at + 1) & mask;
  slots_[at] = position + 1;
  tags_[at] = tag(hash);
}

template <class Key>
bool RulesBuilder::NameIndex::insert(std::uint32_t position, Key key) {
  const std::string_view name = key(position);
  const std::uint64_t hash = folded_hash(name);
  if (find(name, hash, key) != NONE) return false;
  // At most half full, so a name that is not there is soon found missing.
  if ((count_ + 1) * 2 > slots_.size()) {
    const std::size_t size = std::max<std::size_t>(16, slots_.size() * 2);
    const std::vector<std::uint32_t> old = std::exchange(slots_, std::vector<std::uint32_t>(size));
    tags_.assign(size, 0);
    for (const std::uint32_t slot : old) {
      if (slot != 0) place(slot - 1, folded_hash(key(slot - 1)));
    }
  }
  place(position, hash);
  ++count_;
  return true;
}

std::string_view RulesBuilder::name_of(std::uint32_t position) const {
  return read_row(arena_, rows_[position]).normalized;
}

void RulesBuilder::begin_row() {
  row_start_ = arena_.size();
  begun_count_ = 0;
}

std::string& RulesBuilder::text(RuleText which) {
  // A fourth text means a member given twice: the reader refuses that row.
  if (begun_count_ < 3) begun_[begun_count_++] = Begun{which, arena_.size()};
  return arena_;
}

void RulesBuilder::end_row() {
  // The texts lie in the order they came; put them in rule order, in place.
  struct Piece {
    RuleText which;
    std::size_t size;
  };
  Piece pieces[3];
  for (std::size_t k = 0; k < 3; ++k) {
    const std::size_t end = k + 1 < 3 ? begun_[k + 1].start : arena_.size();
    pieces[k] = Piece{begun_[k].which, end - begun_[k].start};
  }
  std::size_t sizes[3] = {};
  std::size_t at = row_start_;
  std::size_t left = 3;
  for (const RuleText want : {RuleText::pattern, RuleText::reason, RuleText::action}) {
    std::size_t from = at;
    std::size_t k = 0;
    while (pieces[k].which != want) from += pieces[k++].size;
    const auto begin = arena_.begin();
    std::rotate(begin + static_cast<std::ptrdiff_t>(at), begin + static_cast<std::ptrdiff_t>(from),
                begin + static_cast<std::ptrdiff_t>(from + pieces[k].size));
    at += pieces[k].size;
    sizes[static_cast<std::size_t>(want)] = pieces[k].size;
    std::copy(pieces + k + 1, pieces + left, pieces + k);
    --left;
  }

  const std::string_view pattern = std::string_view(arena_).substr(row_start_, sizes[0]);
  CompiledPattern compiled = compile_pattern(pattern);
  if (compiled.shape == PatternShape::never) {
    arena_.resize(row_start_);  // never matches anything
    return;
  }
  const std::uint32_t header = offset32(arena_.size());
  put_header(arena_, sizes[0], sizes[1], sizes[2], compiled, state_);
  offset32(arena_.size());  // so every offset within the row fits too
  const auto position = static_cast<std::uint32_t>(rows_.size());
  rows_.push_back(header);
  if (compiled.shape == PatternShape::literal_name) {
    if (!names_.insert(position, [this](std::uint32_t p) { return name_of(p); })) {
      // An earlier rule has this name, and wins every tie with this one.
      rows_.pop_back();
      arena_.resize(row_start_);
    }
    return;
  }
  compiled.start += static_cast<std::uint32_t>(row_start_);
  (compiled.drive ? drive_paths_ : others_).push_back(Tried{compiled, position});
}

void RulesBuilder::TriedList::push_back(const Tried& tried) {
  if (blocks_.empty() || blocks_.back().size() == BLOCK) blocks_.emplace_back();
  blocks_.back().push_back(tried);
}

CompiledRules::CompiledRules(RulesBuilder&& built, bool eager)
    : built_(std::move(built)),
      made_(std::make_unique<std::atomic<MadeBlock*>[]>((built_.rows_.size() + MADE_BLOCK - 1) /
                                                        MADE_BLOCK)) {
  if (eager) {
    for (std::size_t k = 0; k < built_.rows_.size(); ++k) make_mark(k);
  }
}

namespace {

RulesBuilder build(const std::vector<Rule>& rules, std::string_view source) {
  std::size_t bytes = 0;
  for (const Rule& r : rules) bytes += r.pattern.size() + r.reason.size() + r.action.size() + 32;
  RulesBuilder builder(source);
  builder.reserve(bytes);
  for (const Rule& r : rules) {
    builder.begin_row();
    builder.text(RuleText::pattern).append(r.pattern);
    builder.text(RuleText::reason).append(r.reason);
    builder.text(RuleText::action).append(r.action);
    builder.state(r.state);
    builder.end_row();
  }
  return builder;
}

}  // namespace

CompiledRules::CompiledRules(const std::vector<Rule>& rules, std::string_view source, bool eager)
    : CompiledRules(build(rules, source), eager) {}

CompiledRules::Best CompiledRules::best(PreparedPath& path) const {
  Best best;
  const auto consider = [&best](std::size_t score, std::size_t position) {
    if (score > best.score || (score != 0 && score == best.score && position < best.position)) {
      best = Best{score, position};
    }
  };
  const char* const base = built_.arena_.data();
  const auto try_each = [&](const RulesBuilder::Tried& t) {
    consider(path.score(t.pattern, base), t.position);
  };
  built_.others_.for_each(try_each);
  if (path.may_have_drive()) built_.drive_paths_.for_each(try_each);
  if (!built_.names_.empty()) {
    const std::uint32_t found = built_.names_.find(
        path.name(), path.name_hash(), [this](std::uint32_t p) { return built_.name_of(p); });
    if (found != RulesBuilder::NameIndex::NONE) consider(path.name().size(), found);
  }
  return best;
}

const Mark& CompiledRules::mark(std::size_t position) const {
  const MadeBlock* block = made_[position / MADE_BLOCK].load(std::memory_order_acquire);
  if (block != nullptr) {
    const Mark* made = block->marks[position % MADE_BLOCK].load(std::memory_order_acquire);
    if (made != nullptr) return *made;
  }
  return make_mark(position);
}

const Mark& CompiledRules::make_mark(std::size_t position) const {
  const std::lock_guard<std::mutex> lock(making_);
  std::atomic<MadeBlock*>& block_slot = made_[position / MADE_BLOCK];
  MadeBlock* block = block_slot.load(std::memory_order_relaxed);
  if (block == nullptr) {
    block = &made_blocks_.emplace_back();  // every verdict still null
    block_slot.store(block, std::memory_order_release);
  }
  std::atomic<const Mark*>& slot = block->marks[position % MADE_BLOCK];
  // Another thread may have made it since.
  if (const Mark* made = slot.load(std::memory_order_relaxed)) return *made;
  const Row row = read_row(built_.arena_, built_.rows_[position]);
  const Mark& mark =
      marks_.emplace_back(Mark{row.state, row.pattern, built_.source_, row.reason, row.action});
  slot.store(&mark, std::memory_order_release);
  return mark;
}

}  // namespace oskra::detail
