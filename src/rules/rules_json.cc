// Reading rules.json: strict RFC 8259 JSON (json_scanner.h), an array of
// rule rows, all or nothing, in one pass over the text with no document tree
// and no copy of the text. Loading takes memory linear in the file's size,
// whatever its shape.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "rules/compiled_rules.h"
#include "rules/json_scanner.h"
#include "rules/rules.h"
#include "text/unicode.h"

namespace oskra {
namespace {

// What a member of an object row fills.
enum class Field : std::uint8_t { ignored, pattern, state, reason, action };

using detail::RuleText;

constexpr unsigned bit(Field field) { return 1u << static_cast<unsigned>(field); }
constexpr unsigned ALL_FIELDS =
    bit(Field::pattern) | bit(Field::state) | bit(Field::reason) | bit(Field::action);

// Member names are compared exactly: "Pattern" is just an unknown member.
Field field_named(std::string_view name) {
  if (name == "pattern") return Field::pattern;
  if (name == "state") return Field::state;
  if (name == "reason") return Field::reason;
  if (name == "action") return Field::action;
  return Field::ignored;
}

// Rows read into a list of rules, each text in its own string.
class RuleList {
 public:
  void begin_row() { rules.emplace_back(); }
  std::string& text(RuleText which) {
    Rule& r = rules.back();
    std::string& out = which == RuleText::pattern  ? r.pattern
                       : which == RuleText::reason ? r.reason
                                                   : r.action;
    out.clear();  // a member given twice: the row is refused anyway
    return out;
  }
  void state(State state) { rules.back().state = state; }
  void end_row() {}

  std::vector<Rule> rules;
};

// One pass over a text already known to be valid UTF-8 without NUL bytes:
// NUL stands for the end of the text. Rows go to a `Rows`: RuleList, or
// detail::RulesBuilder, which compiles them as they come. It is told
// `begin_row`, each text (decoded by appending to the string it gives) and
// the state in the order the row has them, then `end_row` once the row is
// known to be good.
// The rows of a rules file, over a JsonScanner. Rows go to a `Rows`:
// RuleList, or detail::RulesBuilder, which compiles them as they come. It is
// told `begin_row`, each text (decoded by appending to the string it gives)
// and the state in the order the row has them, then `end_row` once the row
// is known to be good.
class Reader {
 public:
  explicit Reader(std::string_view text) : json_(text) {}

  template <class Rows>
  bool rules(Rows& rows) {
    json_.blanks();
    if (!json_.take('[')) return false;
    json_.blanks();
    if (!json_.take(']')) {
      do {
        json_.blanks();
        if (!row(rows)) return false;
        json_.blanks();
      } while (json_.take(','));
      if (!json_.take(']')) return false;
    }
    // Only blanks may follow the array.
    json_.blanks();
    return json_.at_end();
  }

 private:
  // "red" or "green", or {"red": null} or {"green": null}.
  bool state(State& state) {
    json_.blanks();
    decoded_.clear();
    if (json_.peek() == '"') {
      if (!json_.string(&decoded_)) return false;
    } else {
      if (!json_.take('{')) return false;
      json_.blanks();
      if (!json_.string(&decoded_)) return false;
      json_.blanks();
      if (!json_.take(':')) return false;
      json_.blanks();
      if (!json_.word("null")) return false;
      json_.blanks();
      if (!json_.take('}')) return false;  // one member only
    }
    if (decoded_ == "red") {
      state = State::red;
    } else if (decoded_ == "green") {
      state = State::green;
    } else {
      return false;
    }
    return true;
  }

  template <class Rows>
  bool text_value(Rows& rows, RuleText which) {
    json_.blanks();
    return json_.string(&rows.text(which));
  }

  template <class Rows>
  bool state_value(Rows& rows) {
    State s = State::red;
    if (!state(s)) return false;
    rows.state(s);
    return true;
  }

  template <class Rows>
  bool row(Rows& rows) {
    rows.begin_row();
    if (json_.take('[') ? !array_row(rows) : !object_row(rows)) return false;
    rows.end_row();
    return true;
  }

  // [pattern, state, reason, action], after its "[".
  template <class Rows>
  bool array_row(Rows& rows) {
    if (!text_value(rows, RuleText::pattern)) return false;
    json_.blanks();
    if (!json_.take(',') || !state_value(rows)) return false;
    json_.blanks();
    if (!json_.take(',') || !text_value(rows, RuleText::reason)) return false;
    json_.blanks();
    if (!json_.take(',') || !text_value(rows, RuleText::action)) return false;
    json_.blanks();
    return json_.take(']');
  }

  // {"pattern": ..., "state": ..., "reason": ..., "action": ...} in any
  // order, other members ignored.
  template <class Rows>
  bool object_row(Rows& rows) {
    if (!json_.take('{')) return false;
    json_.open_object();
    unsigned have = 0;
    json_.blanks();
    if (!json_.take('}')) {
      do {
        std::string_view name;
        if (!json_.member_name(name)) return false;
        const Field field = field_named(name);
        have |= bit(field);
        if (!member_value(rows, field)) return false;
        json_.blanks();
      } while (json_.take(','));
      if (!json_.take('}')) return false;
    }
    return json_.close_object() && (have & ALL_FIELDS) == ALL_FIELDS;
  }

  template <class Rows>
  bool member_value(Rows& rows, Field field) {
    switch (field) {
      case Field::pattern:
        return text_value(rows, RuleText::pattern);
      case Field::state:
        return state_value(rows);
      case Field::reason:
        return text_value(rows, RuleText::reason);
      case Field::action:
        return text_value(rows, RuleText::action);
      case Field::ignored:
        break;
    }
    return json_.skip_value();
  }

  detail::JsonScanner json_;
  std::string decoded_;
};

// The checks of the whole text before it is read: a rules file is read
// only up to 16 MiB, and far beyond that the offsets the reader keeps would
// not hold.
bool readable(std::string_view text) {
  return text.size() < 0x80000000 && !text.starts_with("\xEF\xBB\xBF") &&
         text.find('\0') == std::string_view::npos && unicode::is_valid_utf8(text);
}

}  // namespace

std::optional<std::vector<Rule>> RuleEngine::parse_rules_json(std::string_view text) {
  if (!readable(text)) return std::nullopt;
  RuleList list;
  if (!Reader(text).rules(list)) return std::nullopt;
  return std::move(list.rules);
}

namespace detail {

bool read_rules_json(std::string_view text, RulesBuilder& builder) {
  if (!readable(text)) return false;
  // Decoded texts are never longer than their JSON form, and a row's
  // header hardly ever takes more than the punctuation around its texts,
  // so this is room enough for every row.
  builder.reserve(text.size() + 64);
  return Reader(text).rules(builder);
}

}  // namespace detail
}  // namespace oskra
