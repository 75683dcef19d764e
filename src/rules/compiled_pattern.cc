#include "rules/compiled_pattern.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "rules/matching.h"
#include "text/unicode.h"

namespace oskra::detail {
namespace {

bool is_separator(char b) { return b == '\\' || b == '/'; }

std::uint32_t narrow(std::size_t n) {
  if (n > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("pattern too long");
  return static_cast<std::uint32_t>(n);
}

// `score_normalized` of a pattern's written span, once it has "\" for
// every "/". Rare, so out of line.
[[gnu::noinline]] std::size_t score_written(std::string_view written, std::string_view path) {
  std::string normalized(written);
  std::replace(normalized.begin(), normalized.end(), '/', '\\');
  return score_normalized(normalized, path);
}

// Calls `each` with every lower-cased code point of `text` (ill-formed parts
// as U+FFFD), "/" as "\"; stops early when `each` returns false.
template <class Each>
void for_each_lowered(std::string_view text, Each each) {
  for (std::size_t at = 0; at < text.size();) {
    const unicode::Decoded d = unicode::decode(text, at);
    at += d.length;
    const unicode::LowerCase lower = unicode::to_lower_full(d.code_point);
    for (std::uint8_t k = 0; k < lower.size; ++k) {
      const char32_t cp = lower.code_points[k];
      if (!each(cp == U'/' ? U'\\' : cp)) return;
    }
  }
}

}  // namespace

CompiledPattern compile_pattern(std::string_view pattern) {
  CompiledPattern c;
  const Span span = normalized_span(pattern);
  c.start = narrow(span.begin);
  c.size = narrow(span.end - span.begin);
  const std::string_view np = pattern.substr(span.begin, c.size);
  if (np.empty()) return c;
  const bool drive = np.starts_with("?:");
  const bool path = std::any_of(np.begin(), np.end(), is_separator);
  if (drive && !path) {
    // Its "?:" can stand for a drive letter at the start of a last
    // component that is the whole path: rare enough for the plain scorer.
    c.shape = PatternShape::plain;
    return c;
  }
  c.drive = drive;
  const std::string_view compared = drive ? np.substr(2) : np;
  c.separators = narrow(
      static_cast<std::size_t>(std::count_if(compared.begin(), compared.end(), is_separator)));
  if (compared.find_first_of("*?") == std::string_view::npos) {
    c.shape = path ? PatternShape::literal_path : PatternShape::literal_name;
    return c;
  }
  c.shape = path ? PatternShape::wildcard_path : PatternShape::wildcard_name;
  c.ascii = std::all_of(compared.begin(), compared.end(),
                        [](char b) { return static_cast<unsigned char>(b) < 0x80; });
  if (c.ascii) {
    const FixedEnds ends = fixed_ends(compared);
    c.head = narrow(ends.head);
    c.tail = narrow(ends.tail);
    return c;
  }
  // The fixed ends of the lower-cased form, counted in one pass without
  // keeping it: a long pattern would take four bytes per character.
  std::size_t units = 0;
  std::size_t first_wildcard = std::string_view::npos;
  std::size_t last_wildcard = 0;
  for_each_lowered(compared, [&](char32_t cp) {
    if (is_wildcard(cp)) {
      if (first_wildcard == std::string_view::npos) first_wildcard = units;
      last_wildcard = units;
    }
    if (cp >= 0x80) c.ascii_matchable = false;
    ++units;
    return true;
  });
  c.head = narrow(first_wildcard);
  c.tail = narrow(units - last_wildcard - 1);
  return c;
}

PreparedPath::PreparedPath(std::string_view path) {
  char* out = inline_;
  if (path.size() > INLINE_BYTES) {
    heap_ = std::make_unique_for_overwrite<char[]>(path.size());
    out = heap_.get();
  }
  normalized_ = std::string_view(out, normalize_into(path, out));
  // Branch-free, so the compiler can take many bytes per step.
  std::size_t separators = 0;
  unsigned high_bits = 0;
  for (const char b : normalized_) {
    separators += b == '\\' ? 1 : 0;
    high_bits |= static_cast<unsigned char>(b);
  }
  separators_ = separators;
  ascii_ = (high_bits & 0x80) == 0;
  const std::size_t last = normalized_.rfind('\\');
  name_start_ = last == std::string_view::npos ? 0 : last + 1;
  name_ascii_ =
      ascii_ ||
      std::all_of(normalized_.begin() + static_cast<std::ptrdiff_t>(name_start_), normalized_.end(),
                  [](char b) { return static_cast<unsigned char>(b) < 0x80; });
  has_drive_letter_ = normalized_.size() >= 2 && normalized_[1] == ':';
  // A first character takes at most four bytes.
  may_have_drive_ = has_drive_letter_ ||
                    (!ascii_ && normalized_.substr(1, 4).find(':') != std::string_view::npos);
}

const std::u32string& PreparedPath::lowered() {
  if (!lowered_ready_) {
    lowered_ = lower_code_points(normalized_);
    lowered_ready_ = true;
  }
  return lowered_;
}

const std::u32string& PreparedPath::lowered_name() {
  if (!lowered_name_ready_) {
    // Lower-casing maps code point by code point, so lowering the last
    // component alone equals taking it from the lowered whole.
    lowered_name_ = lower_code_points(normalized_.substr(name_start_));
    lowered_name_ready_ = true;
  }
  return lowered_name_;
}

bool PreparedPath::lower_pattern(std::string_view compared, std::size_t text_units) {
  pattern_.clear();
  std::size_t fixed = 0;
  bool fits = true;
  for_each_lowered(compared, [&](char32_t cp) {
    if (cp == U'*') {
      if (pattern_.empty() || pattern_.back() != U'*') pattern_.push_back(cp);
      return true;
    }
    fits = ++fixed <= text_units;
    if (fits) pattern_.push_back(cp);
    return fits;
  });
  return fits;
}

template <class Lowered>
bool PreparedPath::glob(const CompiledPattern& c, std::string_view compared, std::string_view text,
                        bool ascii, Lowered lowered) {
  // A run of stars matches what one star does, so the ends stay the same.
  const FixedEnds ends{c.head, c.tail};
  if (ascii) {
    if (!c.ascii_matchable) return false;
    if (c.ascii) return match_glob(compared, ends, text, pattern_byte, text_byte);
    return lower_pattern(compared, text.size()) &&
           match_glob(std::u32string_view(pattern_), ends, text, code_point, text_byte);
  }
  if (!ascii_ends_may_match(compared, ends, text)) return false;
  const std::u32string_view lowered_text = lowered();
  if (c.ascii) return match_glob(compared, ends, lowered_text, pattern_byte, code_point);
  return lower_pattern(compared, lowered_text.size()) &&
         match_glob(std::u32string_view(pattern_), ends, lowered_text, code_point, code_point);
}

std::size_t PreparedPath::score(const CompiledPattern& c, const char* base) {
  const std::string_view written = written_form(c, base);
  // What a path pattern is compared with.
  std::string_view text = normalized_;
  std::size_t text_separators = separators_;
  if (c.drive) {
    if (!has_drive_letter_) {
      // Only a wildcard "?:" still matches, when the first character takes
      // several bytes and the second is ':'. Rare: the plain scorer decides.
      const bool rare = c.shape == PatternShape::wildcard_path && may_have_drive_;
      return rare ? score_written(written, normalized_) : 0;
    }
    // `match_score` puts '?' in place of the drive letter, so the pattern's
    // "?:" matches the path's first two bytes (two characters: a byte
    // before ':' is a character of its own) by construction.
    text.remove_prefix(2);
    if (normalized_.front() == '\\') --text_separators;  // now the '?'
  }
  const std::string_view compared = c.drive ? written.substr(2) : written;
  bool matched = false;
  switch (c.shape) {
    case PatternShape::never:
      return 0;
    case PatternShape::plain:
      // No separator of either kind, so the written span is the normalised form.
      return score_normalized(written, normalized_);
    case PatternShape::literal_name:
      matched = pattern_equal(compared, name());
      break;
    case PatternShape::literal_path: {
      // The location itself or anything below it, never a sibling that only
      // shares the start of its name.
      const std::size_t n = compared.size();
      matched = text.size() >= n && (text.size() == n || text[n] == '\\') &&
                pattern_equal(compared, text.substr(0, n));
      break;
    }
    case PatternShape::wildcard_name:
      matched = glob(c, compared, name(), name_ascii_,
                     [this] { return std::u32string_view(lowered_name()); });
      break;
    case PatternShape::wildcard_path: {
      // Only a backslash matches a backslash, so the counts must agree.
      if (text_separators != c.separators) return 0;
      const std::size_t skipped = normalized_.size() - text.size();
      matched = glob(c, compared, text, ascii_,
                     [this, skipped] { return std::u32string_view(lowered()).substr(skipped); });
      break;
    }
  }
  return matched ? c.size : 0;
}

namespace {

// Offsets into the block of texts are 32-bit: far more than a rules file
// of at most 16 MiB needs.
std::uint32_t offset32(std::size_t n) {
  if (n > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("rules too large");
  return static_cast<std::uint32_t>(n);
}

void put_varint(std::string& out, std::size_t n) {
  for (; n >= 0x80; n >>= 7) out.push_back(static_cast<char>((n & 0x7F) | 0x80));
  out.push_back(static_cast<char>(n));
}

std::size_t get_varint(const char*& at) {
  std::size_t n = 0;
  for (unsigned shift = 0; true; shift += 7) {
    const auto byte = static_cast<unsigned char>(*at++);
    n |= static_cast<std::size_t>(byte & 0x7F) << shift;
    if (byte < 0x80) return n;
  }
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
