// The engine's fast form of `match_score`. Each rule pattern is compiled
// once into a few numbers: where its normalised form lies in the text it
// was compiled from, its shape, its fixed ends. The text is not copied:
// compiled patterns are compared with it as written, reading "/" as "\" and
// folding "A" to "Z" as they go. Each path is normalised once per
// evaluation, into a buffer on the stack unless it is long. A path that is
// all ASCII (the usual case) is compared byte by byte, folding its case as
// it is read; any other path is lower-cased to code points once, when a
// wildcard pattern first needs it, and so is a wildcard pattern outside
// ASCII when it is tried. Pattern shapes that real rule lists hardly use go
// to the plain scorer. Scores are identical to `match_score` for every
// pattern and path.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "rules/matching.h"
#include "rules/rules.h"

namespace oskra::detail {

enum class PatternShape : std::uint8_t {
  never,  // normalises to nothing
  literal_name,
  literal_path,
  wildcard_name,
  wildcard_path,
  plain,  // a name pattern beginning with "?:": scored by `score_normalized`
};

struct CompiledPattern {
  // The normalised pattern: where it lies in the text compiled from, and
  // its length, which a match scores. It still has "/" where the
  // normalised form has "\".
  std::uint32_t start = 0;
  std::uint32_t size = 0;
  std::uint32_t separators = 0;  // "\" and "/" in the compared part
  // Wildcard shapes: the fixed ends of the compared part lower-cased, in
  // code points.
  std::uint32_t head = 0;
  std::uint32_t tail = 0;
  PatternShape shape = PatternShape::never;
  // A path pattern beginning with "?:", which stands for any drive letter:
  // the rest of it, the compared part, is compared with a path's third
  // byte on when the path's second byte is ':' (other paths are rare, and
  // scored plainly). Without it the compared part is the whole pattern.
  bool drive = false;
  // Wildcard shapes: every byte of the compared part is ASCII, so its
  // bytes through `pattern_byte` are its lower-cased code points.
  bool ascii = true;
  // Wildcard shapes: every lower-cased code point of the compared part is
  // ASCII; otherwise no all-ASCII text matches it.
  bool ascii_matchable = true;
};

// Compiles `pattern`; the result locates its normalised form in `pattern`
// itself, which must be kept. Throws std::length_error for a pattern of 4
// GiB or more.
CompiledPattern compile_pattern(std::string_view pattern);

// The normalised pattern of `compiled`, compiled from the text at `base`
// (with "/" where the normalised form has "\").
inline std::string_view written_form(const CompiledPattern& compiled, const char* base) {
  return std::string_view(base + compiled.start, compiled.size);
}

// One path, normalised once, scored against any number of patterns.
class PreparedPath {
 public:
  explicit PreparedPath(std::string_view path);
  // `normalized_` may point into the object itself.
  PreparedPath(const PreparedPath&) = delete;
  PreparedPath& operator=(const PreparedPath&) = delete;

  // The same value as match_score(pattern, path) for the pattern `compiled`
  // was made from, which starts at `base`.
  std::size_t score(const CompiledPattern& compiled, const char* base);

  // The last component, as `match_score` compares a name pattern with it.
  std::string_view name() const { return normalized_.substr(name_start_); }
  // folded_hash(name()), worked out once.
  std::uint64_t name_hash() {
    if (!name_hash_ready_) {
      name_hash_ = folded_hash(name());
      name_hash_ready_ = true;
    }
    return name_hash_;
  }
  // False when the path's second character is certainly not ':', so no
  // path pattern beginning with "?:" can match it.
  bool may_have_drive() const { return may_have_drive_; }

 private:
  // Whether `text` (the path or its last component) matches the wildcard
  // pattern `c`, whose compared part is `compared`; `ascii` says whether
  // `text` is all ASCII, and `lowered` gives its lower-cased code points
  // when it is not. Kept out of line: it is large, and `score` small
  // enough to go inline into the loop over a rule list without it.
  template <class Lowered>
  [[gnu::noinline]] bool glob(const CompiledPattern& c, std::string_view compared,
                              std::string_view text, bool ascii, Lowered lowered);
  // Lower-cases a wildcard pattern's compared part outside ASCII into
  // `pattern_`, a run of stars as one. False when it holds more units
  // other than "*" than `text_units`, each of which takes one unit of the
  // text: then it cannot match, and a long pattern is not lower-cased for
  // a short text.
  bool lower_pattern(std::string_view compared, std::size_t text_units);
  const std::u32string& lowered();
  // The last component alone, lower-cased: name patterns never need more,
  // and a deep path is long.
  const std::u32string& lowered_name();

  // Holds the normalised path unless it is longer; `heap_` holds it then.
  static constexpr std::size_t INLINE_BYTES = 512;
  char inline_[INLINE_BYTES];
  std::unique_ptr<char[]> heap_;
  std::string_view normalized_;
  bool ascii_ = true;           // no byte above 0x7F
  bool name_ascii_ = true;      // none in the last component
  std::size_t name_start_ = 0;  // first byte after the last backslash
  std::size_t separators_ = 0;
  bool has_drive_letter_ = false;  // second byte is ':'
  bool may_have_drive_ = false;
  bool lowered_ready_ = false;
  std::u32string lowered_;
  bool lowered_name_ready_ = false;
  std::u32string lowered_name_;
  std::u32string pattern_;  // see `lower_pattern`
  bool name_hash_ready_ = false;
  std::uint64_t name_hash_ = 0;
};

// --- Rule lists -------------------------------------------------------------
//
// A list of rules ready to judge paths, kept small: a rules file of a
// million tiny rows must not cost much more than the file itself.
//
// Every kept rule's texts lie once in one block (`arena_`), followed by a
// short header (their lengths, where the normalised pattern lies in the
// pattern, the state). Patterns tried in turn are compiled records that
// point into that block; literal names are found through a table of rule
// positions. A rule that can never win is not kept: one that normalises to
// nothing, or a literal name that an earlier rule already has (same name,
// same score, and the earlier one wins ties). Verdicts are made when a rule
// first wins, since most rules of a long list never do.

// The three texts of a rule, in the order a rule lists them.
enum class RuleText : std::uint8_t { pattern, reason, action };

class CompiledRules;

// Takes rules one at a time, their texts written straight into the compiled
// list's block: `begin_row`, then each text in any order (append its bytes
// to the string `text` returns) and the state, then `end_row`. A row left
// unfinished (the reader met an error) is never used: the builder is then
// thrown away.
class RulesBuilder {
 public:
  // `source` is the verdicts' source text, SOURCE_USER or SOURCE_BUILTIN.
  explicit RulesBuilder(std::string_view source) : source_(source) {}

  // Room for rules whose texts and headers take about `bytes`, so that the
  // block holding them is not moved while it grows.
  void reserve(std::size_t bytes) { arena_.reserve(bytes); }

  void begin_row();
  std::string& text(RuleText which);
  void state(State state) { state_ = state; }
  void end_row();

 private:
  friend class CompiledRules;

  // A table of kept literal names: rule positions by the name folded.
  class NameIndex {
   public:
    static constexpr std::uint32_t NONE = 0xFFFFFFFF;
    // The position of the kept name equal to `name` (whose folded_hash is
    // `hash`) under ASCII case folding, or NONE; `key` gives a position's
    // name.
    template <class Key>
    std::uint32_t find(std::string_view name, std::uint64_t hash, Key key) const;
    // Keeps `position` for its name unless the name is there already.
    template <class Key>
    bool insert(std::uint32_t position, Key key);
    bool empty() const { return count_ == 0; }

   private:
    static std::uint8_t tag(std::uint64_t hash) { return static_cast<std::uint8_t>(hash >> 56); }
    void place(std::uint32_t position, std::uint64_t hash);

    // A power of two of slots, each a position + 1 or 0, and beside each
    // the top byte of its name's hash: most names that are not the one
    // sought are passed over without reading them.
    std::vector<std::uint32_t> slots_;
    std::vector<std::uint8_t> tags_;
    std::size_t count_ = 0;
  };

  // The normalised pattern of the kept rule at `position`.
  std::string_view name_of(std::uint32_t position) const;

  // A pattern tried in turn, compiled within `arena_`.
  struct Tried {
    CompiledPattern pattern;
    std::uint32_t position;
  };

  // Patterns tried in turn, in rule order, in blocks of at most BLOCK:
  // a long list grows without ever being copied to a larger place.
  class TriedList {
   public:
    void push_back(const Tried& tried);
    template <class Each>
    void for_each(Each each) const {
      for (const std::vector<Tried>& block : blocks_) {
        for (const Tried& t : block) each(t);
      }
    }

   private:
    static constexpr std::size_t BLOCK = 4096;
    std::vector<std::vector<Tried>> blocks_;
  };

  std::string_view source_;
  std::string arena_;
  std::vector<std::uint32_t> rows_;  // per kept rule: its header's offset in `arena_`
  TriedList drive_paths_;            // "?:" path patterns
  TriedList others_;                 // the rest tried
  NameIndex names_;

  // The row being read: where it began and where each text began, in the
  // order they came.
  std::size_t row_start_ = 0;
  struct Begun {
    RuleText which;
    std::size_t start;
  };
  Begun begun_[3] = {};
  std::size_t begun_count_ = 0;
  State state_ = State::red;
};

// Reads the text of a rules file into `builder`, every row or none: false
// when the text is not a valid rules file (see RuleEngine::parse_rules_json).
bool read_rules_json(std::string_view text, RulesBuilder& builder);

class CompiledRules {
 public:
  // Made once and read-only from then on; `eager` makes every verdict now.
  CompiledRules(RulesBuilder&& built, bool eager);
  CompiledRules(const std::vector<Rule>& rules, std::string_view source, bool eager);
  CompiledRules(const CompiledRules&) = delete;
  CompiledRules& operator=(const CompiledRules&) = delete;

  // The winner among these rules: the highest score, and among equal scores
  // the lowest position. A score of 0 means no rule matched.
  struct Best {
    std::size_t score = 0;
    std::size_t position = 0;
  };
  Best best(PreparedPath& path) const;

  // The verdict of the rule at `position`, made on first use: every entry
  // a rule judges shares it, and it lives as long as this list. Safe to
  // call from several threads.
  const Mark& mark(std::size_t position) const;

 private:
  const Mark& make_mark(std::size_t position) const;

  RulesBuilder built_;
  // The verdicts made so far, by rule position, in blocks of MADE_BLOCK
  // positions: a block is made when one of its rules first wins, so a long
  // list of rules that seldom win costs a pointer per block. A block and a
  // verdict are complete before their pointers are stored (release), and
  // read only through them (acquire).
  static constexpr std::size_t MADE_BLOCK = 256;
  struct MadeBlock {
    std::atomic<const Mark*> marks[MADE_BLOCK]{};
  };
  std::unique_ptr<std::atomic<MadeBlock*>[]> made_;
  mutable std::mutex making_;
  // Guarded by `making_`; neither ever moves what it holds.
  mutable std::deque<MadeBlock> made_blocks_;
  mutable std::deque<Mark> marks_;
};

}  // namespace oskra::detail
