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

#include "rules/compiled_pattern.h"
#include "rules/rules.h"

namespace oskra::detail {

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
